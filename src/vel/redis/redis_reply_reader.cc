// Replies are parsed by hiredis's reader straight into RedisValue trees,
// instead of hiredis's reply objects that would then be copied: a ranking
// slice is hundreds of strings.
#include "vel/redis/internal/redis_reply_reader.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <new>

namespace vel {
namespace redis_internal {
namespace {

// Read buffer the parser keeps between replies (hiredis frees a larger
// empty one): top-100 answers come in batches of tens of kilobytes, and
// freeing and growing the buffer for each costs more than keeping it.
constexpr std::size_t kKeptReadBuffer = 1 << 20;

// The root is owned by the parser until it hands the reply out.
RedisValue* Slot(const redisReadTask* task) {
  if (task->parent == nullptr) return std::make_unique<RedisValue>().release();
  auto* parent = static_cast<RedisValue*>(task->parent->obj);
  return &parent->elements[static_cast<std::size_t>(task->idx)];
}
void* CreateString(const redisReadTask* task, char* text, size_t length) {
  RedisValue* value = Slot(task);
  value->type = task->type == REDIS_REPLY_ERROR    ? RedisValue::kError
                : task->type == REDIS_REPLY_STATUS ? RedisValue::kStatus
                                                   : RedisValue::kString;
  value->text.assign(text, length);
  return value;
}
void* CreateArray(const redisReadTask* task, int elements) {
  RedisValue* value = Slot(task);
  value->type = RedisValue::kArray;
  value->elements.resize(static_cast<std::size_t>(std::max(elements, 0)));
  return value;
}
void* CreateInteger(const redisReadTask* task, long long integer) {
  RedisValue* value = Slot(task);
  value->type = RedisValue::kInteger;
  value->integer = integer;
  return value;
}
void* CreateNil(const redisReadTask* task) {
  RedisValue* value = Slot(task);
  value->type = RedisValue::kNil;
  return value;
}
// Only ever called for a root (a reply given up half-built).
void FreeValue(void* root) {
  std::unique_ptr<RedisValue> dropped(static_cast<RedisValue*>(root));
}
redisReplyObjectFunctions the_value_functions = {
    CreateString, CreateArray, CreateInteger, CreateNil, FreeValue};

}  // namespace

void RedisReplyReader::Deleter::operator()(redisReader* reader) const {
  redisReaderFree(reader);
}

RedisReplyReader::RedisReplyReader()
    : reader_(redisReaderCreateWithFunctions(&the_value_functions)) {
  if (reader_ == nullptr) throw std::bad_alloc();
  reader_->maxbuf = kKeptReadBuffer;
}

void RedisReplyReader::Feed(const char* data, std::size_t length) {
  redisReaderFeed(reader_.get(), data, length);
}

bool RedisReplyReader::Next(std::unique_ptr<RedisValue>* reply,
                            std::string* error) {
  void* raw = nullptr;
  if (redisReaderGetReply(reader_.get(), &raw) != REDIS_OK) {
    *error = std::string("protocol error: ") + reader_->errstr;
    return false;
  }
  reply->reset(static_cast<RedisValue*>(raw));
  return true;
}

std::string FormatCommand(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  argv.reserve(args.size());
  lengths.reserve(args.size());
  for (const std::string& arg : args) {
    argv.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  char* formatted = nullptr;
  const int length = redisFormatCommandArgv(
      &formatted, static_cast<int>(args.size()), argv.data(), lengths.data());
  if (length < 0 || formatted == nullptr) return std::string();
  std::string text(formatted, static_cast<std::size_t>(length));
  redisFreeCommand(formatted);
  return text;
}

}  // namespace redis_internal
}  // namespace vel
