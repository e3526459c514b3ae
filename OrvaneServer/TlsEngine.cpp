#include "OrvaneServer/TlsEngine.h"

#include <openssl/err.h>

#include <algorithm>
#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <cstring>
#include <new>
#include <utility>

namespace orvane::server {

namespace {

BIO_METHOD* makeMethod(int (*write)(BIO*, const char*, int), int (*read)(BIO*, char*, int),
                       long (*ctrl)(BIO*, int, long, void*)) {
  BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "orvane-tls-engine");
  if (method == nullptr) throw std::bad_alloc();
  BIO_meth_set_write(method, write);
  BIO_meth_set_read(method, read);
  BIO_meth_set_ctrl(method, ctrl);
  BIO_meth_set_create(method, [](BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
  });
  return method;
}

}  // namespace

TlsEngine::TlsEngine(SSL_CTX* context) : ssl_(SSL_new(context)) {
  if (!ssl_) throw std::bad_alloc();
  // Made once and never changed; OpenSSL keeps pointers to it for the process's life.
  static BIO_METHOD* const method = makeMethod(&TlsEngine::bioWrite, &TlsEngine::bioRead, &TlsEngine::bioCtrl);
  BIO* bio = BIO_new(method);
  if (bio == nullptr) throw std::bad_alloc();
  BIO_set_data(bio, this);
  SSL_set_bio(ssl_.get(), bio, bio);
  SSL_set_accept_state(ssl_.get());
}

TlsEngine::~TlsEngine() = default;

TlsEngine::Step TlsEngine::handshake() {
  ERR_clear_error();
  return finish(SSL_do_handshake(ssl_.get()));
}

TlsEngine::Step TlsEngine::read(void* data, std::size_t size) {
  ERR_clear_error();
  std::size_t bytes = 0;
  const int ok = SSL_read_ex(ssl_.get(), data, size, &bytes);
  Step step = finish(ok);
  step.bytes = ok == 1 ? bytes : 0;
  return step;
}

TlsEngine::Step TlsEngine::write(const void* data, std::size_t size) {
  ERR_clear_error();
  std::size_t bytes = 0;
  const int ok = SSL_write_ex(ssl_.get(), data, size, &bytes);
  Step step = finish(ok);
  step.bytes = ok == 1 ? bytes : 0;
  return step;
}

TlsEngine::Step TlsEngine::shutdown() {
  ERR_clear_error();
  const int result = SSL_shutdown(ssl_.get());
  // 0: our close_notify is out, the peer's has not come; we do not wait for it.
  return result >= 0 ? Step{} : finish(result);
}

TlsEngine::Step TlsEngine::finish(int result) {
  releaseDrainedInput();
  if (result > 0) return Step{};
  switch (SSL_get_error(ssl_.get(), result)) {
    case SSL_ERROR_WANT_READ:
      return Step{Want::input, 0, {}};
    case SSL_ERROR_ZERO_RETURN:
      return Step{Want::error, 0, boost::asio::error::eof};
    case SSL_ERROR_SSL: {
      const unsigned long code = ERR_get_error();
      return Step{Want::error, 0,
                  boost::system::error_code(static_cast<int>(code), boost::asio::error::get_ssl_category())};
    }
    default:
      // Our BIO never fails a write nor reports an end: anything else is a broken state.
      return Step{Want::error, 0, boost::asio::ssl::error::stream_truncated};
  }
}

boost::asio::mutable_buffer TlsEngine::prepareInput(std::size_t size) {
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputRead_));
  inputRead_ = 0;
  const std::size_t used = input_.size() - inputPending_;
  input_.resize(used + size);
  inputPending_ = size;
  return boost::asio::buffer(input_.data() + used, size);
}

void TlsEngine::commitInput(std::size_t size) {
  input_.resize(input_.size() - inputPending_ + std::min(size, inputPending_));
  inputPending_ = 0;
  releaseDrainedInput();
}

void TlsEngine::releaseDrainedInput() {
  if (inputPending_ != 0 || inputRead_ < input_.size()) return;
  inputRead_ = 0;
  std::vector<char>().swap(input_);
}

std::string TlsEngine::takeOutput() { return std::exchange(output_, std::string()); }

int TlsEngine::bioWrite(BIO* bio, const char* data, int size) {
  auto* self = static_cast<TlsEngine*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  self->output_.append(data, static_cast<std::size_t>(std::max(size, 0)));
  return size;
}

int TlsEngine::bioRead(BIO* bio, char* data, int size) {
  auto* self = static_cast<TlsEngine*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const std::size_t available = self->input_.size() - self->inputPending_ - self->inputRead_;
  if (available == 0) {
    BIO_set_retry_read(bio);
    return -1;
  }
  const std::size_t n = std::min(available, static_cast<std::size_t>(std::max(size, 0)));
  std::memcpy(data, self->input_.data() + self->inputRead_, n);
  self->inputRead_ += n;
  return static_cast<int>(n);
}

long TlsEngine::bioCtrl(BIO*, int command, long, void*) {
  // Everything is in memory: flushing is a no-op, everything else unsupported.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

}  // namespace orvane::server
