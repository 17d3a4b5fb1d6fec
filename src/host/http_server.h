#pragma once

#include <httplib.h>

namespace qb {

// The web library's server, with one change to how a connection is kept: after an answer that
// refused its request before the body was read (wrong site, host name, type, size or path), the
// connection is closed. The unread body would otherwise be taken as the next request on the same
// connection, one that carries none of the headers the refusal looked at.
class HttpServer : public httplib::Server {
 public:
  // Called by a handler on the worker thread answering a request: the connection is closed once
  // this answer is written.
  static void CloseAfterAnswer();

 private:
  bool process_and_close_socket(socket_t sock) override;
};

}  // namespace qb
