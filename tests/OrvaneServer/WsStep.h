#pragma once

// One asynchronous Beast step run to its end with a 5 s deadline, for tests
// that drive a stream of their own.
#include <boost/asio/io_context.hpp>
#include <boost/beast/core.hpp>
#include <chrono>

namespace orvane::server::wstest {

// One handler type for every step: Beast instantiates its composed operations
// once per handler type, and a lambda per call site cost minutes of compiling.
struct StepDone {
  boost::beast::error_code* result;
  template <class... Rest>
  void operator()(boost::beast::error_code ec, Rest&&...) const {
    *result = ec;
  }
};

template <class Stream, class Start>
inline boost::beast::error_code step(boost::asio::io_context& ioc, Stream& stream, Start start) {
  boost::beast::error_code result = boost::asio::error::would_block;
  boost::beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(5));
  start(StepDone{&result});
  ioc.restart();
  ioc.run();
  return result;
}

}  // namespace orvane::server::wstest
