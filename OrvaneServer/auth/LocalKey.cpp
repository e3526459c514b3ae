#include "OrvaneServer/auth/LocalKey.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace orvane::server {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kMaxKeyFileBytes = 16 * 1024;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }
std::string errnoText() { return std::strerror(errno); }

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// Wipes key material from memory when the buffer goes.
struct SecretText {
  std::string text;
  ~SecretText() { OPENSSL_cleanse(text.data(), text.size()); }
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// An encrypted key must fail, not prompt on a terminal the server may not have.
int noPassphrase(char*, int, int, void*) { return 0; }

std::string kidOf(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key, &der);
  if (length <= 0) fail("cannot encode the signing key's public half");
  const auto digest = jws::sha256(std::string_view(reinterpret_cast<char*>(der), static_cast<std::size_t>(length)));
  OPENSSL_free(der);
  return jws::base64UrlEncode(std::string_view(reinterpret_cast<const char*>(digest.data()), 12));
}

LocalKey readKey(const fs::path& file) {
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) fail("cannot open the signing key " + file.string() + ": " + errnoText());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) fail(file.string() + " is not a regular file");
  if ((st.st_mode & 077) != 0) fail(file.string() + " is accessible to other users; chmod 600 it");
  if (st.st_size <= 0 || static_cast<std::size_t>(st.st_size) > kMaxKeyFileBytes) {
    fail(file.string() + " does not hold a signing key");
  }
  SecretText pem;
  pem.text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < pem.text.size()) {
    const ssize_t n = ::read(fd.get(), pem.text.data() + got, pem.text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("cannot read the signing key " + file.string());
    got += static_cast<std::size_t>(n);
  }
  Bio bio(BIO_new_mem_buf(pem.text.data(), static_cast<int>(pem.text.size())));
  jws::Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr);
  if (!key || !jws::sign(jws::Alg::ES256, key.get(), "probe")) {
    fail(file.string() + " is not an unencrypted P-256 private key");
  }
  std::string kid = kidOf(key.get());
  return LocalKey{std::move(key), std::move(kid)};
}

void writeAll(int fd, std::string_view data, const fs::path& file) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("cannot write " + file.string() + ": " + errnoText());
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

SecretText newKeyPem() {
  jws::Pkey key(EVP_EC_gen("P-256"));
  Bio bio(BIO_new(BIO_s_mem()));
  if (!key || !bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    fail("cannot generate a signing key");
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  SecretText pem;
  pem.text.assign(data, static_cast<std::size_t>(length));
  OPENSSL_cleanse(data, static_cast<std::size_t>(length));
  return pem;
}

// Writes a complete key under a private temporary name, then link()s it into
// place: unlike rename(), link() never replaces a key another process
// published in the meantime (whose invites may already be out).
void publishNewKey(const fs::path& dir, const fs::path& file) {
  const SecretText pem = newKeyPem();
  const fs::path temp = dir / (std::string(kSigningKeyFile) + ".tmp-" + jws::base64UrlEncode(jws::randomBytes(9)));
  {
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0) fail("cannot create " + temp.string() + ": " + errnoText());
    try {
      writeAll(fd.get(), pem.text, temp);
      if (::fsync(fd.get()) != 0) fail("cannot write " + temp.string() + ": " + errnoText());
    } catch (...) {
      ::unlink(temp.c_str());
      throw;
    }
  }
  const int linked = ::link(temp.c_str(), file.c_str());
  const int linkErrno = errno;
  ::unlink(temp.c_str());
  if (linked != 0 && linkErrno != EEXIST) {
    fail("cannot create the signing key " + file.string() + ": " + std::strerror(linkErrno));
  }
  if (linked == 0) {
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) ::fsync(dirFd.get());  // best effort: the key survives a crash
  }
}

}  // namespace

void prepareDataDir(const fs::path& dir) {
  if (dir.empty()) fail("no data directory given");
  std::error_code ec;
  if (!fs::exists(dir, ec)) {
    if (dir.has_parent_path()) fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      fail("cannot create the data directory " + dir.string() + ": " + errnoText());
    }
  }
  if (!fs::is_directory(dir, ec)) fail("the data directory " + dir.string() + " is not a directory");
  if (::access(dir.c_str(), W_OK | X_OK) != 0) fail("the data directory " + dir.string() + " is not writable");
}

LocalKey loadOrCreateLocalKey(const fs::path& dataDir) {
  const fs::path file = dataDir / kSigningKeyFile;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(file, ec))) publishNewKey(dataDir, file);
  return readKey(file);
}

}  // namespace orvane::server
