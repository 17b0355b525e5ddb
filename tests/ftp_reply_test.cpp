// The reply reader on its own: replies as real servers sent them
// (tests/data/*.txt) and the odd and hostile ones a client must survive.
#include "engine/ftp_session/ftp_reply.h"

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/ftp_session/ftp_protocol.h"

namespace velmorix::ftp {
namespace {

// Feeds `bytes` in pieces of `piece` bytes and collects every reply.
struct Collected {
  std::vector<FtpReply> replies;
  FtpReplyParser::Result last = FtpReplyParser::Result::kIncomplete;
};

Collected FeedAll(FtpReplyParser& parser, const std::string& bytes, size_t piece) {
  Collected collected;
  for (size_t pos = 0; pos < bytes.size(); pos += piece) {
    parser.Feed(bytes.data() + pos, std::min(piece, bytes.size() - pos));
    FtpReply reply;
    while ((collected.last = parser.Next(reply)) == FtpReplyParser::Result::kReply) {
      collected.replies.push_back(reply);
    }
    if (collected.last == FtpReplyParser::Result::kMalformed)
      break;
  }
  return collected;
}

// The reply lines that follow ">> COMMAND" in a capture file, CR LF ended.
std::string CapturedReply(const std::string& file, const std::string& command) {
  std::ifstream in(std::string(VELMORIX_TEST_DATA_DIR) + "/" + file);
  EXPECT_TRUE(in.good()) << file;
  std::string line;
  std::string reply;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.starts_with(">> ")) {
      if (inside)
        break;
      inside = line == ">> " + command;
      continue;
    }
    if (inside)
      reply += line + "\r\n";
  }
  EXPECT_FALSE(reply.empty()) << command << " in " << file;
  return reply;
}

class FtpReplyParserTest : public ::testing::Test {
 protected:
  FtpReplyParser parser_;
};

TEST_F(FtpReplyParserTest, MultiLineRepliesOfRealServersArriveWholeInAnyPieces) {
  const std::string pyftpdlib = CapturedReply("pyftpdlib-port.txt", "FEAT");
  for (size_t piece : {size_t{1}, size_t{7}, pyftpdlib.size()}) {
    FtpReplyParser parser;
    const Collected collected = FeedAll(parser, pyftpdlib, piece);
    ASSERT_EQ(collected.replies.size(), 1u) << "pieces of " << piece;
    EXPECT_EQ(collected.replies[0].code, 211);
    EXPECT_TRUE(collected.replies[0].text.starts_with("211-Features supported:\n EPRT\n"));
    EXPECT_TRUE(collected.replies[0].text.ends_with("\n UTF8\n211 End FEAT."));
    EXPECT_FALSE(parser.HasPendingBytes());
  }
  const std::string mlst = CapturedReply("proftpd-port.txt", "MLST old.txt");
  const Collected collected = FeedAll(parser_, mlst, mlst.size());
  ASSERT_EQ(collected.replies.size(), 1u);
  EXPECT_EQ(collected.replies[0].code, 250);
  EXPECT_EQ(collected.replies[0].text.find('\r'), std::string::npos);
}

TEST_F(FtpReplyParserTest, LinesInsideAMultiLineReplyThatLookLikeRepliesDoNotEndIt) {
  const std::string bytes =
      "220----------\r\n"
      "220-Welcome\r\n"
      "550 this is not the end\r\n"
      "220- still the banner\r\n"
      " 220 indented, not the end\r\n"
      "220x neither\r\n"
      "\r\n"
      "220 Ready.\r\n"
      "331 Password required.\r\n";
  const Collected collected = FeedAll(parser_, bytes, 5);
  ASSERT_EQ(collected.replies.size(), 2u);
  EXPECT_EQ(collected.replies[0].code, 220);
  EXPECT_EQ(collected.replies[0].text,
            "220----------\n220-Welcome\n550 this is not the end\n220- still the banner\n"
            " 220 indented, not the end\n220x neither\n\n220 Ready.");
  EXPECT_EQ(collected.replies[1].code, 331);
  EXPECT_EQ(collected.replies[1].text, "331 Password required.");
}

TEST_F(FtpReplyParserTest, BareLineFeedsAndCodeOnlyLinesAreAccepted) {
  const Collected collected = FeedAll(parser_, "200 ok\n211-a\n211\n226\n", 64);
  ASSERT_EQ(collected.replies.size(), 3u);
  EXPECT_EQ(collected.replies[0].text, "200 ok");
  EXPECT_EQ(collected.replies[1].text, "211-a\n211");
  EXPECT_EQ(collected.replies[2].code, 226);
}

TEST_F(FtpReplyParserTest, ReplyWaitsForItsLastLine) {
  parser_.Feed("150 Opening\r\n226-Transfer", 25);
  FtpReply reply;
  ASSERT_EQ(parser_.Next(reply), FtpReplyParser::Result::kReply);
  EXPECT_EQ(reply.code, 150);
  EXPECT_EQ(parser_.Next(reply), FtpReplyParser::Result::kIncomplete);
  EXPECT_TRUE(parser_.HasPendingBytes());
  parser_.Feed(" complete\r\n226 Bye\r", 19);
  EXPECT_EQ(parser_.Next(reply), FtpReplyParser::Result::kIncomplete);
  parser_.Feed("\n", 1);
  ASSERT_EQ(parser_.Next(reply), FtpReplyParser::Result::kReply);
  EXPECT_EQ(reply.text, "226-Transfer complete\n226 Bye");
}

TEST_F(FtpReplyParserTest, NulBytesAreRefusedWhereverTheyAppear) {
  for (const std::string& bytes :
       {std::string("220 a\0b\r\n", 9), std::string("220-x\r\n\0\r\n220 y\r\n", 15),
        std::string("220 no line end yet \0", 21)}) {
    FtpReplyParser parser;
    EXPECT_EQ(FeedAll(parser, bytes, bytes.size()).last, FtpReplyParser::Result::kMalformed);
    EXPECT_FALSE(parser.error().empty());
  }
}

TEST_F(FtpReplyParserTest, TextThatIsNotAReplyIsRefused) {
  for (const char* bytes : {"hello\r\n", "22 short\r\n", "600 bad class\r\n", "099 low\r\n",
                            "2a0 letters\r\n", "220x ready\r\n", "\r\n", " 220 indented\r\n"}) {
    FtpReplyParser parser;
    EXPECT_EQ(FeedAll(parser, bytes, 64).last, FtpReplyParser::Result::kMalformed) << bytes;
  }
}

TEST_F(FtpReplyParserTest, OverLongLinesAreRefusedEvenBeforeTheirEnd) {
  const std::string fits = "200 " + std::string(FtpReplyParser::kMaxLineLength - 4, 'x') + "\r\n";
  Collected collected = FeedAll(parser_, fits, 1000);
  ASSERT_EQ(collected.replies.size(), 1u);
  EXPECT_EQ(collected.replies[0].text.size(), FtpReplyParser::kMaxLineLength);

  // A peer that never ends its line must not make the client grow forever.
  FtpReplyParser endless;
  const std::string chunk(4096, 'y');
  endless.Feed("200 ", 4);
  FtpReplyParser::Result result = FtpReplyParser::Result::kIncomplete;
  FtpReply reply;
  for (int i = 0; i < 100 && result == FtpReplyParser::Result::kIncomplete; ++i) {
    endless.Feed(chunk.data(), chunk.size());
    result = endless.Next(reply);
  }
  EXPECT_EQ(result, FtpReplyParser::Result::kMalformed);
}

TEST_F(FtpReplyParserTest, EndlessMultiLineReplyIsRefused) {
  std::string bytes = "211-start\r\n";
  for (size_t i = 0; i < FtpReplyParser::kMaxLines + 5; ++i)
    bytes += " feature\r\n";
  EXPECT_EQ(FeedAll(parser_, bytes, bytes.size()).last, FtpReplyParser::Result::kMalformed);

  std::string longest = "211-start\r\n";
  for (size_t i = 0; i < FtpReplyParser::kMaxLines - 2; ++i)
    longest += " feature\r\n";
  longest += "211 End\r\n";
  FtpReplyParser parser;
  EXPECT_EQ(FeedAll(parser, longest, longest.size()).replies.size(), 1u);
}

TEST_F(FtpReplyParserTest, AfterARefusalNothingMoreIsParsed) {
  FeedAll(parser_, "garbage\r\n", 64);
  parser_.Feed("200 fine\r\n", 10);
  FtpReply reply;
  EXPECT_EQ(parser_.Next(reply), FtpReplyParser::Result::kMalformed);
}

TEST_F(FtpReplyParserTest, LongSessionsDoNotKeepOldReplies) {
  // Thousands of replies fed one by one: each must come out right, whatever
  // the parser does with the bytes it has handed out.
  for (int i = 0; i < 5000; ++i) {
    const std::string line = "250 reply number " + std::to_string(i) + "\r\n";
    parser_.Feed(line.data(), line.size());
    FtpReply reply;
    ASSERT_EQ(parser_.Next(reply), FtpReplyParser::Result::kReply);
    ASSERT_EQ(reply.text, "250 reply number " + std::to_string(i));
  }
}

// ---------------------------------------------------------------------------
// What the login reads from the replies.

class FtpLoginRepliesTest : public ::testing::Test {};

TEST_F(FtpLoginRepliesTest, FeaturesOfTheCapturedServers) {
  struct Case {
    const char* file;
    bool mlst;
  };
  for (const Case& c : {Case{"pyftpdlib-port.txt", true}, Case{"proftpd-port.txt", true},
                        Case{"vsftpd-port.txt", false}}) {
    FtpReplyParser parser;
    const Collected collected = FeedAll(parser, CapturedReply(c.file, "FEAT"), 4096);
    ASSERT_EQ(collected.replies.size(), 1u) << c.file;
    const ServerFeatures features = ParseFeatures(collected.replies[0].text);
    EXPECT_EQ(features.mlst, c.mlst) << c.file;
    EXPECT_TRUE(features.utf8) << c.file;
  }
  // Names ignore case; a feature whose name only begins alike is another.
  const ServerFeatures odd = ParseFeatures("211-Features:\n mlst type*;\n UTF8X\n211 End");
  EXPECT_TRUE(odd.mlst);
  EXPECT_FALSE(odd.utf8);
  EXPECT_FALSE(ParseFeatures("211 MLST UTF8 but on the code line").mlst);
}

TEST_F(FtpLoginRepliesTest, LoginFolderFromTheQuotedPath) {
  EXPECT_EQ(ParseQuotedPath("257 \"/home/ftpt\" is the current directory"), "/home/ftpt");
  EXPECT_EQ(ParseQuotedPath("257 \"/a \"\"quoted\"\" name\" is current"), "/a \"quoted\" name");
  EXPECT_EQ(ParseQuotedPath("257 \"/ends with quote\"\"\""), "/ends with quote\"");
  EXPECT_EQ(ParseQuotedPath("257 /no/quotes"), std::nullopt);
  EXPECT_EQ(ParseQuotedPath("257 \"/never closed"), std::nullopt);
  EXPECT_EQ(ParseQuotedPath("257 \"\" empty"), std::nullopt);
}

TEST_F(FtpLoginRepliesTest, RemotePathsJoinTheLoginFolderWithOneSlashAndAreNeverNormalised) {
  const std::optional<std::string> home = "/home/ftpt";
  EXPECT_EQ(ResolveRemotePath(home, "www/sub"), "/home/ftpt/www/sub");
  EXPECT_EQ(ResolveRemotePath(std::string("/"), "www"), "/www");
  EXPECT_EQ(ResolveRemotePath(std::string("/home/"), "www"), "/home/www");
  EXPECT_EQ(ResolveRemotePath(home, "/abs/../x"), "/abs/../x");
  EXPECT_EQ(ResolveRemotePath(home, "//sub"), "//sub");
  EXPECT_EQ(ResolveRemotePath(home, "a//b/./c"), "/home/ftpt/a//b/./c");
  EXPECT_EQ(ResolveRemotePath(home, ""), "/home/ftpt");
  EXPECT_EQ(ResolveRemotePath(std::nullopt, "www"), "www");
}

}  // namespace
}  // namespace velmorix::ftp
