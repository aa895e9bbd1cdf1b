#include "client/frame_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "leaderboard.pb.h"

namespace plemox {
namespace {

std::vector<std::string> Drain(FrameCodec& codec) {
  std::vector<std::string> bodies;
  std::string body;
  while (codec.Next(&body) == FrameCodec::Status::kFrame) {
    bodies.push_back(body);
  }
  return bodies;
}

TEST(FrameCodecTest, HeaderIsFourBytesBigEndian) {
  EXPECT_EQ(FrameCodec::EncodeHeader(0x01020304u),
            std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(FrameCodec::EncodeHeader(0xfffffffeu),
            std::string("\xff\xff\xff\xfe", 4));
  std::string frame;
  ASSERT_TRUE(FrameCodec::Encode(std::string("abc"), 1024, &frame));
  EXPECT_EQ(frame, std::string("\0\0\0\x03"
                               "abc",
                               7));
}

TEST(FrameCodecTest, MessagesSurviveARoundTripWhateverTheChunking) {
  Leaderboard::Request request;
  request.set_request_uuid(
      std::string("\0\x01\x02\xff\0\0\0\0\0\0\0\0\0\0\0\x7f", 16));
  request.set_type(Leaderboard::Request::kScoreSubmission);
  request.mutable_score_submission()->set_leaderboard_id("stage1");
  request.mutable_score_submission()->set_score(12.5);
  std::string stream;
  std::string frame;
  ASSERT_TRUE(FrameCodec::Encode(request, 1024, &frame));
  stream += frame;
  ASSERT_TRUE(FrameCodec::Encode(std::string(), 1024, &frame));  // empty body
  stream += frame;
  ASSERT_TRUE(FrameCodec::Encode(std::string(300, 'x'), 1024, &frame));
  stream += frame;

  // All at once, byte by byte, and in uneven pieces: the same three bodies.
  for (size_t piece : {stream.size(), size_t{1}, size_t{3}, size_t{7}}) {
    SCOPED_TRACE(piece);
    FrameCodec codec(1024);
    std::vector<std::string> bodies;
    for (size_t at = 0; at < stream.size(); at += piece) {
      codec.Append(stream.data() + at, std::min(piece, stream.size() - at));
      for (auto& body : Drain(codec)) bodies.push_back(body);
    }
    ASSERT_EQ(bodies.size(), 3u);
    Leaderboard::Request parsed;
    ASSERT_TRUE(parsed.ParseFromString(bodies[0]));
    EXPECT_EQ(parsed.request_uuid(), request.request_uuid());
    EXPECT_EQ(parsed.score_submission().leaderboard_id(), "stage1");
    EXPECT_EQ(bodies[1], "");
    EXPECT_EQ(bodies[2], std::string(300, 'x'));
    EXPECT_EQ(codec.buffered_size(), 0u);
  }
}

TEST(FrameCodecTest, PartialInputWaitsAndKeepsItsBytes) {
  FrameCodec codec(1024);
  std::string body = "unchanged";
  codec.Append(std::string("\0\0", 2));
  EXPECT_EQ(codec.Next(&body), FrameCodec::Status::kNeedMore);
  codec.Append(
      std::string("\0\x05"
                  "ab",
                  4));
  EXPECT_EQ(codec.Next(&body), FrameCodec::Status::kNeedMore);
  EXPECT_EQ(body, "unchanged");
  EXPECT_EQ(codec.buffered_size(), 6u);
  codec.Append(
      std::string("cde"
                  "\0\0\0\x01"
                  "z",
                  8));
  ASSERT_EQ(codec.Next(&body), FrameCodec::Status::kFrame);
  EXPECT_EQ(body, "abcde");
  ASSERT_EQ(codec.Next(&body), FrameCodec::Status::kFrame);
  EXPECT_EQ(body, "z");
  EXPECT_EQ(codec.Next(&body), FrameCodec::Status::kNeedMore);
}

TEST(FrameCodecTest, LengthLimitIsInclusiveAndAnOversizedFrameKillsTheStream) {
  FrameCodec codec(8);
  std::string frame;
  ASSERT_TRUE(FrameCodec::Encode(std::string(8, 'a'), 8, &frame));
  codec.Append(frame);
  std::string body;
  ASSERT_EQ(codec.Next(&body), FrameCodec::Status::kFrame);
  EXPECT_EQ(body, std::string(8, 'a'));

  // A header announcing 9 bytes is refused before its body arrives, and
  // nothing after it is ever read, even a well-formed frame.
  codec.Append(FrameCodec::EncodeHeader(9));
  body = "unchanged";
  EXPECT_EQ(codec.Next(&body), FrameCodec::Status::kTooLarge);
  EXPECT_EQ(codec.refused_length(), 9u);
  codec.Append(std::string(9, 'b') + frame);
  EXPECT_EQ(codec.Next(&body), FrameCodec::Status::kTooLarge);
  EXPECT_EQ(body, "unchanged");
  EXPECT_EQ(codec.buffered_size(), 0u);

  // The largest length a header can hold is refused without allocating it.
  FrameCodec huge;
  huge.Append(FrameCodec::EncodeHeader(0xffffffffu));
  EXPECT_EQ(huge.Next(&body), FrameCodec::Status::kTooLarge);
  EXPECT_EQ(huge.refused_length(), 0xffffffffu);
}

TEST(FrameCodecTest, EncodeRefusesWhatTheReaderWouldRefuse) {
  std::string frame = "unchanged";
  EXPECT_FALSE(FrameCodec::Encode(std::string(9, 'a'), 8, &frame));
  EXPECT_EQ(frame, "unchanged");
  Leaderboard::Request request;
  request.mutable_leaderboard_authentication()->set_app_id(
      std::string(100, 'a'));
  EXPECT_FALSE(FrameCodec::Encode(request, 50, &frame));
  EXPECT_EQ(frame, "unchanged");
  ASSERT_TRUE(FrameCodec::Encode(request, request.ByteSizeLong(), &frame));
  EXPECT_EQ(frame.size(), FrameCodec::kHeaderSize + request.ByteSizeLong());
}

}  // namespace
}  // namespace plemox
