// The texts our FTP client puts into a failed FtpStatus. They end up in
// message boxes of the Japanese user interface, so each failure has its own
// clear wording. `command` is the command as ftp::CommandLabel() shows it;
// no text ever holds a password.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmorix::ftp {

// How a command line is named in texts: the line itself, except that the
// argument of PASS is left out.
std::string CommandLabel(std::string_view commandLine);

// The label of the wait for the server's greeting, which has no command.
inline constexpr std::string_view kGreetingLabel = "接続時の応答";

std::string HostNotFoundText(std::string_view host, std::string_view detail);
std::string ConnectRefusedText(std::string_view host, uint16_t port, std::string_view detail);
std::string ConnectTimeoutText(std::string_view host, uint16_t port);
std::string LoginFailedText(std::string_view reply);
std::string ReplyTimeoutText(std::string_view command);
std::string ConnectionLostText(std::string_view command);
std::string ConnectionErrorText(std::string_view command, std::string_view detail);
std::string NotConnectedText();
std::string ProtocolErrorText(std::string_view command, std::string_view detail);
std::string LocalFileText(std::string_view path, std::string_view detail);
std::string DataListenText(std::string_view detail);
std::string DataConnectTimeoutText(std::string_view command);
std::string DataTimeoutText(std::string_view command);
std::string DataErrorText(std::string_view command, std::string_view detail);
// Data kept coming, but no line of it made an entry.
std::string ListingStalledText(std::string_view command);
std::string ListingTooLargeText(std::string_view command, size_t limitMiB);
// The cancel check stopped the transfer.
std::string CanceledText(std::string_view command);
// What LocalFileText says of a FIFO, socket or device.
std::string NotRegularFileDetail();
// `what` names the argument ("ユーザー名", "パス" ...); `value` is shown
// with its control characters escaped, or left out when empty.
std::string UnsafeArgumentText(std::string_view what, std::string_view value);

// A name that cannot be sent in the server's name encoding (`encoding` is
// its label, "Shift_JIS"); `what` names it as in UnsafeArgumentText. The
// name is shown with control characters and bytes that are no UTF-8
// escaped. `character` is the first one the encoding cannot write, or empty.
std::string NameNotUtf8Text(std::string_view what, std::string_view name);
std::string NameNotRepresentableText(std::string_view what, std::string_view name,
                                     std::string_view encoding, std::string_view character);
// The name holds bytes of a listing that could not be read as text.
std::string NameUnreadableText(std::string_view what, std::string_view name,
                               std::string_view encoding);

// Passive mode: the server refused EPSV and PASV (`reply` is its last
// answer), or its data port could not be reached.
std::string PassiveRefusedText(std::string_view reply);
std::string PassiveConnectFailedText(std::string_view host, uint16_t port, std::string_view detail);
std::string PassiveConnectTimeoutText(std::string_view host, uint16_t port);
// Console lines of what a connection decided about its data connections.
std::string PassiveAddressReplacedNotice(std::string_view named, std::string_view used);
std::string SwitchedToActiveNotice(std::string_view reason);
// A file whose size on the server is not what was sent.
std::string SizeMismatchText(std::string_view name, int64_t sent, int64_t held);
// The server renames nothing: files go under their own names from now on.
std::string RenamesRefusedNotice(std::string_view host, std::string_view reply);
// 自動 had decided on `encoding`, and the server listed `name` in `found`.
std::string NameEncodingMismatchText(std::string_view host, std::string_view encoding,
                                     std::string_view found, std::string_view name);
// Console line of a connection that found its server's names not in UTF-8.
std::string NameEncodingFoundNotice(std::string_view host, std::string_view encoding);

// TLS. The server refused AUTH TLS although the destination requires it
// (`reply` is its answer); TLS could not be set up (`detail` says why); the
// server's certificate failed verification and was not accepted; the
// server refused PBSZ or PROT P, so data could not be encrypted.
std::string TlsNotOfferedText(std::string_view reply);
std::string TlsSetupFailedText(std::string_view detail);
std::string CertificateRefusedText(std::string_view reason, std::string_view fingerprint);
// "HOST:PORT", an IPv6 address in brackets.
std::string HostAndPortText(std::string_view host, uint16_t port);
// Whether a TLS failure's text is CertificateRefusedText's.
bool IsCertificateRefusal(std::string_view text);
std::string DataProtectionRefusedText(std::string_view reply);
// Console lines: the connection is encrypted (`protocol` is "TLSv1.3"), or
// stays plain because the server offers no TLS.
std::string EncryptedNotice(std::string_view host, std::string_view protocol);
std::string NotEncryptedNotice(std::string_view host, std::string_view reply);

// True when `text` holds CR, LF or NUL and must not go into a command line.
bool HasLineBreakOrNul(std::string_view text);

}  // namespace velmorix::ftp
