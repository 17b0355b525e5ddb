// Small pure pieces of the FTP dialogue: what FEAT offers, the path in a 257
// reply, and how a remote path given by the engine becomes the argument of a
// command. Callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmorix::ftp {

struct ServerFeatures {
  bool mlst = false;  // MLST/MLSD with exact UTC times and explicit types
  bool utf8 = false;  // names are UTF-8 once "OPTS UTF8 ON" is sent
  bool size = false;  // SIZE tells a file's size
  bool mfmt = false;  // MFMT sets a file's modification time
};

// Reads the feature lines of a 211 reply to FEAT (feature names ignore case).
ServerFeatures ParseFeatures(std::string_view featReply);

// The path of a 257 reply ("257 \"/a \"\"b\"\"\" is ..." gives /a "b"), or
// nothing when the reply holds no quoted path.
std::optional<std::string> ParseQuotedPath(std::string_view reply);

// The argument to send for `path`: an absolute path ("/...") as it is, any
// other joined to `loginFolder` with one "/" (an empty path names the login
// folder itself). Without a known login folder the path is sent unchanged.
// Nothing is normalised: "//sub" stays "//sub".
std::string ResolveRemotePath(const std::optional<std::string>& loginFolder, std::string_view path);

// The port of a 229 reply to EPSV ("229 Entering Extended Passive Mode
// (|||6446|)"; any delimiter the server chose), or nothing.
std::optional<uint16_t> ParseEpsvPort(std::string_view reply);

// The IPv4 address (host byte order) and port of a 227 reply to PASV: the
// first six comma-separated numbers of 0 to 255, with or without
// parentheses ("227 Entering Passive Mode (192,168,1,2,19,137)"), or nothing.
struct PassiveAddress {
  uint32_t ipv4 = 0;
  uint16_t port = 0;
};
std::optional<PassiveAddress> ParsePasvAddress(std::string_view reply);

}  // namespace velmorix::ftp
