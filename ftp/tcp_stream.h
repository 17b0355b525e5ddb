// The plain TCP stream: the connection's bytes as they are, sent with
// MSG_NOSIGNAL and received without waiting. Used by one thread at a time.
#pragma once

#include "ftp/byte_stream.h"
#include "ftp/tcp_socket.h"

namespace velmorix::ftp {

// A stream over `socket`, a connected non-blocking TCP socket (or, in tests,
// any connected stream socket), which it owns from now on.
OwnedStream MakeTcpStream(Socket socket);

}  // namespace velmorix::ftp
