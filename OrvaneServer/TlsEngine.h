#pragma once

#include <openssl/ssl.h>

#include <boost/asio/buffer.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace orvane::server {

// OpenSSL's server side of one connection, on ciphertext buffers of its own
// that are given back whenever they run empty. Asio's TLS stream keeps four
// record-sized buffers per socket for its whole life; at thousands of idle
// sockets those dominate the server's memory. No I/O here: the stream moves
// the ciphertext. Not thread-safe.
class TlsEngine {
 public:
  enum class Want {
    done,   // the operation finished; `bytes` says how much it moved
    input,  // more ciphertext from the peer is needed, then the same call again
    error,
  };
  struct Step {
    Want want = Want::done;
    std::size_t bytes = 0;
    boost::system::error_code error;
  };

  explicit TlsEngine(SSL_CTX* context);  // throws std::bad_alloc when OpenSSL cannot make the connection
  ~TlsEngine();
  TlsEngine(const TlsEngine&) = delete;
  TlsEngine& operator=(const TlsEngine&) = delete;

  Step handshake();
  Step read(void* data, std::size_t size);
  Step write(const void* data, std::size_t size);
  // Queues our close_notify; the peer's answer is not waited for.
  Step shutdown();

  // Room for `size` bytes from the socket; commitInput() says how many came.
  boost::asio::mutable_buffer prepareInput(std::size_t size);
  void commitInput(std::size_t size);

  // Ciphertext for the peer, in order; take it to send it.
  bool hasOutput() const { return !output_.empty(); }
  std::string takeOutput();

  SSL* native_handle() { return ssl_.get(); }

 private:
  struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };

  Step finish(int result);
  void releaseDrainedInput();

  static int bioWrite(BIO* bio, const char* data, int size);
  static int bioRead(BIO* bio, char* data, int size);
  static long bioCtrl(BIO* bio, int command, long number, void* pointer);

  std::unique_ptr<SSL, SslFree> ssl_;
  std::vector<char> input_;
  std::size_t inputRead_ = 0;     // bytes of input_ OpenSSL has taken
  std::size_t inputPending_ = 0;  // bytes at the end of input_ a socket read may still fill
  std::string output_;
};

}  // namespace orvane::server
