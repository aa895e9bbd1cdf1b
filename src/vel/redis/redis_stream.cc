#include "vel/redis/internal/redis_stream.h"

#include <utility>

namespace vel {
namespace redis_internal {
namespace {

// Bytes read per read call: top-100 answers come in tens of kilobytes.
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

RedisStream::RedisStream(Socket socket)
    : socket_(std::move(socket)), read_buffer_(kReadChunk) {}

RedisStream::RedisStream(std::unique_ptr<TlsStream> tls)
    : socket_(tls->next_layer().get_executor()),
      tls_(std::move(tls)),
      read_buffer_(kReadChunk) {}

void RedisStream::Close() {
  boost::system::error_code ignored;
  socket().shutdown(Socket::shutdown_both, ignored);
  socket().close(ignored);
}

}  // namespace redis_internal
}  // namespace vel
