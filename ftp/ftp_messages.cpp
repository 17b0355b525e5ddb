#include "ftp/ftp_messages.h"

#include "base/display_text.h"
#include "ftp/name_codec.h"

namespace velmorix::ftp {

namespace {

constexpr std::string_view kCertificateRefused =
    "サーバーの証明書を確認できないため、接続しませんでした: ";

// "HOST:PORT", with an IPv6 address in brackets so the port stays readable.
std::string HostAndPort(std::string_view host, uint16_t port) {
  std::string text;
  if (host.find(':') != std::string_view::npos) {
    text.append("[").append(host).append("]");
  } else {
    text.append(host);
  }
  return text + ":" + std::to_string(port);
}

std::string Joined(std::string_view head, std::string_view tail) {
  std::string text(head);
  text.append(tail);
  return text;
}

}  // namespace

std::string CommandLabel(std::string_view commandLine) {
  if (commandLine.size() >= 4 && (commandLine.substr(0, 4) == "PASS"))
    return "PASS";
  return std::string(commandLine);
}

std::string HostNotFoundText(std::string_view host, std::string_view detail) {
  return Joined("サーバー名またはアドレスを解決できませんでした: ", host) + " (" +
         std::string(detail) + ")";
}

std::string ConnectRefusedText(std::string_view host, uint16_t port, std::string_view detail) {
  return "サーバーに接続できませんでした: " + HostAndPort(host, port) + " (" + std::string(detail) +
         ")";
}

std::string ConnectTimeoutText(std::string_view host, uint16_t port) {
  return "サーバーへの接続がタイムアウトしました: " + HostAndPort(host, port);
}

std::string LoginFailedText(std::string_view reply) {
  return Joined("ログインできませんでした: ", reply);
}

std::string ReplyTimeoutText(std::string_view command) {
  return "サーバーの応答がタイムアウトしました (" + std::string(command) + ")";
}

std::string ConnectionLostText(std::string_view command) {
  return "サーバーとの接続が切れました (" + std::string(command) + ")";
}

std::string ConnectionErrorText(std::string_view command, std::string_view detail) {
  return ConnectionLostText(command) + ": " + std::string(detail);
}

std::string NotConnectedText() {
  return "サーバーに接続していません";
}

std::string ProtocolErrorText(std::string_view command, std::string_view detail) {
  return "サーバーの応答が FTP として正しくありません (" + std::string(command) +
         "): " + std::string(detail);
}

std::string LocalFileText(std::string_view path, std::string_view detail) {
  return Joined("ファイルを開けません: ", path) + " (" + std::string(detail) + ")";
}

std::string DataListenText(std::string_view detail) {
  return Joined("データ接続の受け口を用意できませんでした: ", detail);
}

std::string DataConnectTimeoutText(std::string_view command) {
  return "サーバーからのデータ接続がタイムアウトしました (" + std::string(command) + ")";
}

std::string DataTimeoutText(std::string_view command) {
  return "データ転送がタイムアウトしました (" + std::string(command) + ")";
}

std::string DataErrorText(std::string_view command, std::string_view detail) {
  return "データ転送でエラーが発生しました (" + std::string(command) + "): " + std::string(detail);
}

std::string ListingStalledText(std::string_view command) {
  return "一覧のデータから項目を読み取れないままタイムアウトしました (" + std::string(command) +
         ")";
}

std::string ListingTooLargeText(std::string_view command, size_t limitMiB) {
  return "一覧のデータが " + std::to_string(limitMiB) +
         " MiB を超えたため読み込みを中断しました (" + std::string(command) + ")";
}

std::string CanceledText(std::string_view command) {
  return "中止しました (" + std::string(command) + ")";
}

std::string NotRegularFileDetail() {
  return "通常のファイルではありません";
}

std::string UnsafeArgumentText(std::string_view what, std::string_view value) {
  std::string text = Joined(what, "に改行または NUL 文字が含まれているため送信できません");
  if (value.empty())
    return text;
  return text + ": " + EscapeControlCharacters(value);
}

std::string NameNotUtf8Text(std::string_view what, std::string_view name) {
  return Joined(what, "が UTF-8 として正しくないため送信できません: ") + EscapeInvalidUtf8(name);
}

std::string NameNotRepresentableText(std::string_view what, std::string_view name,
                                     std::string_view encoding, std::string_view character) {
  std::string text = Joined(what, "に ") + std::string(encoding) + " で表せない文字";
  if (!character.empty())
    text += "「" + EscapeControlCharacters(character) + "」";
  return text + "が含まれているため送信できません: " + EscapeInvalidUtf8(name);
}

std::string NameUnreadableText(std::string_view what, std::string_view name,
                               std::string_view encoding) {
  return Joined(what, "に、サーバーの一覧で ") + std::string(encoding) +
         " として読めなかったバイトが含まれているため送信できません: " + EscapeInvalidUtf8(name);
}

std::string PassiveRefusedText(std::string_view reply) {
  return Joined("サーバーがパッシブモードを受け付けませんでした: ", reply);
}

std::string PassiveConnectFailedText(std::string_view host, uint16_t port,
                                     std::string_view detail) {
  return "パッシブモードのデータ接続ができませんでした: " + HostAndPort(host, port) + " (" +
         std::string(detail) + ")";
}

std::string PassiveConnectTimeoutText(std::string_view host, uint16_t port) {
  return "パッシブモードのデータ接続がタイムアウトしました: " + HostAndPort(host, port);
}

std::string PassiveAddressReplacedNotice(std::string_view named, std::string_view used) {
  return "Passive mode : the server named " + std::string(named) + ", connecting to " +
         std::string(used) + " instead";
}

std::string SwitchedToActiveNotice(std::string_view reason) {
  return "Passive mode failed, using active mode from now on : " + std::string(reason);
}

std::string SizeMismatchText(std::string_view name, int64_t sent, int64_t held) {
  return "送信したサイズ " + std::to_string(sent) + " バイトに対し、サーバー上のサイズは " +
         std::to_string(held) + " バイトです (" + std::string(name) + ")";
}

std::string RenamesRefusedNotice(std::string_view host, std::string_view reply) {
  return "Rename refused on " + std::string(host) +
         ", uploading under the real names from now on : " + std::string(reply);
}

std::string NameEncodingMismatchText(std::string_view host, std::string_view encoding,
                                     std::string_view found, std::string_view name) {
  return std::string(host) + " の名前の文字コードを " + std::string(encoding) +
         " と判定しましたが、" + std::string(found) + " の名前があります: " + std::string(name) +
         "\n名前を変換しないよう、ここで止めました。FTP設定で文字コードを選んでください。";
}

std::string NameEncodingFoundNotice(std::string_view host, std::string_view encoding) {
  return "Names on " + std::string(host) + " are " + std::string(encoding) +
         ", not UTF-8 : converting them from now on";
}

std::string TlsNotOfferedText(std::string_view reply) {
  return Joined("サーバーが TLS での接続を受け付けないため、ログインしませんでした: ", reply);
}

std::string TlsSetupFailedText(std::string_view detail) {
  return Joined("TLS での接続ができませんでした: ", detail);
}

std::string CertificateRefusedText(std::string_view reason, std::string_view fingerprint) {
  return Joined(kCertificateRefused, reason) + "\n" + std::string(fingerprint);
}

std::string HostAndPortText(std::string_view host, uint16_t port) {
  return HostAndPort(host, port);
}

bool IsCertificateRefusal(std::string_view text) {
  return text.starts_with(kCertificateRefused);
}

std::string DataProtectionRefusedText(std::string_view reply) {
  return Joined("サーバーがデータ接続の暗号化を受け付けませんでした: ", reply);
}

std::string EncryptedNotice(std::string_view host, std::string_view protocol) {
  return "Connection to " + std::string(host) + " is encrypted (" + std::string(protocol) + ")";
}

std::string NotEncryptedNotice(std::string_view host, std::string_view reply) {
  return "Connection to " + std::string(host) +
         " is not encrypted : the server offers no TLS : " + std::string(reply);
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace velmorix::ftp
