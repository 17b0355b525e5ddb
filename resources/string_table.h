// The program's string table: texts that several parts of the program look
// up by number. Window captions, menu items and the fixed English progress
// lines live with the code that shows them.
#pragma once

#include <string_view>

namespace velmorix::strings {

// Settings store key and value names.
inline constexpr std::string_view kSettingsSection = "SETTINGS";        // 106
inline constexpr std::string_view kLastFtp = "LASTFTP";                 // 108
inline constexpr std::string_view kLastOption = "LASTOPT";              // 109
inline constexpr std::string_view kFtpSettingsSection = "FTPSETTINGS";  // 114
inline constexpr std::string_view kFtpName = "FTPNAME";                 // 115
inline constexpr std::string_view kFtpUrl = "FTPURL";                   // 116
inline constexpr std::string_view kFtpUserId = "FTPUID";                // 117
inline constexpr std::string_view kFtpPassword = "FTPPASS";             // 118
inline constexpr std::string_view kFtpPort = "FTPPORT";                 // 119
inline constexpr std::string_view kFtpDir = "FTPDIR";                   // 120
inline constexpr std::string_view kLocalDir = "LOCALDIR";               // 124
// Per-destination values added later, numbered like the first ones.
inline constexpr std::string_view kFtpDataMode = "FTPMODE";
inline constexpr std::string_view kFtpSecurity = "FTPSECURITY";
inline constexpr std::string_view kFtpNameEncoding = "FTPENCODING";
inline constexpr std::string_view kFtpTrustedCertificate = "FTPCERT";
inline constexpr std::string_view kFtpConnections = "FTPCONNECTIONS";
inline constexpr std::string_view kFtpTemporaryUploads = "FTPTEMPUPLOAD";
inline constexpr std::string_view kFtpAutoNameEncoding = "FTPAUTOENCODING";
inline constexpr std::string_view kFtpAutoDataMode = "FTPAUTOMODE";
inline constexpr std::string_view kFtpExcludePatterns = "FTPEXCLUDE";
inline constexpr std::string_view kFtpClockMode = "FTPCLOCK";
inline constexpr std::string_view kFtpClockOffset = "FTPCLOCKOFFSET";
inline constexpr std::string_view kFtpProtocol = "FTPPROTOCOL";
inline constexpr std::string_view kFtpKeyFile = "FTPKEYFILE";
inline constexpr std::string_view kFtpHostKey = "FTPHOSTKEY";
inline constexpr std::string_view kLastDeleteMessage = "LASTDELMES";  // 137
inline constexpr std::string_view kLastDeleteDots = "LASTDELDOTS";    // 139
inline constexpr std::string_view kCompanyKey = "Quenzari";           // 143
// Added to every password byte before it is stored; one decimal digit.
inline constexpr std::string_view kPasswordShift = "7";

// Message box texts.
inline constexpr std::string_view kConnectErrorUnknown = "ＦＴＰ接続でエラー（原因不明）";  // 129
inline constexpr std::string_view kParameterError = "パラメタ指定の誤りです。";             // 130
inline constexpr std::string_view kFtpCommandError = "ＦＴＰへのコマンドでエラー発生";      // 131

// Names of the output codes; nothing displays them.
inline constexpr std::string_view kConsoleOutput = "CONSOLE OUTPUT";     // 132
inline constexpr std::string_view kConsoleAndFile = "CONSOLE AND FILE";  // 133
inline constexpr std::string_view kOpenFiles = "OPENFILES";              // 134
inline constexpr std::string_view kFileClose = "FILECLOSE";              // 135

inline constexpr std::string_view kLogFileName = "VELMORIX.LOG";  // 136

// Tags that follow kParameterError and kFtpCommandError directly.
inline constexpr std::string_view kTagLocalDiskPath = "[ローカルディスクパス]";
inline constexpr std::string_view kTagFtpServerPath = "[ＦＴＰサーバーパス]";
inline constexpr std::string_view kTagChangeDirectory = "[ディレクトリ移動]";
inline constexpr std::string_view kTagCreateDirectory = "[ディレクトリ作成]";
inline constexpr std::string_view kTagRemoveDirectory = "[ディレクトリ削除]";
inline constexpr std::string_view kTagDeleteFile = "[ファイル削除]";
inline constexpr std::string_view kTagTransferFile = "[ファイル転送]";

// Texts of the windows that front ends other than the window program also use.
inline constexpr std::string_view kProgramName = "VELMORIX";
inline constexpr std::string_view kDuplicateName = "ＦＴＰの名称が重複しています。";
inline constexpr std::string_view kEnterInteger = "整数を入力してください。";
// %1 and %2 are the bounds of the accepted range.
inline constexpr std::string_view kEnterIntegerInRange =
    "%1 から %2 までの整数を入力してください。";

}  // namespace velmorix::strings
