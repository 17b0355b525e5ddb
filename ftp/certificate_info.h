// What a server's certificate shows, for a person to decide on when it
// failed verification. Plain data; any thread.
#pragma once

#include <string>

namespace velmorix {

struct CertificateInfo {
  std::string reason;      // why verification failed, in words for the user
  std::string subject;     // one line, "CN = ftp.example.com, O = ..."
  std::string issuer;      // one line
  std::string validFrom;   // "2026-12-09 03:00:00 UTC"
  std::string validUntil;  // same form
  // "SHA256:" and the SHA-256 of the certificate's DER form in upper-case
  // hex pairs joined by ":".
  std::string fingerprint;
  // The user had accepted another certificate for this destination: the
  // server's certificate has changed since.
  bool changed = false;
};

}  // namespace velmorix
