// The reply reader on its own, with replies as real servers sent them
// (tests/data/*.txt) and the odd and hostile ones a client must survive;
// and what the login reads from the replies.
#include "ftp/ftp_reply.h"

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ftp/ftp_protocol.h"

namespace velmorix::ftp {
namespace {

using Result = FtpReplyParser::Result;

// Feeds `bytes` in pieces of `piece` bytes; collects the replies and the
// parser's last answer.
Result FeedAll(FtpReplyParser& parser, const std::string& bytes, size_t piece,
               std::vector<FtpReply>& replies) {
  Result last = Result::kIncomplete;
  for (size_t pos = 0; pos < bytes.size() && last != Result::kMalformed; pos += piece) {
    parser.Feed(bytes.data() + pos, std::min(piece, bytes.size() - pos));
    FtpReply reply;
    while ((last = parser.Next(reply)) == Result::kReply)
      replies.push_back(reply);
  }
  return last;
}

// The reply to `command` in a capture file, CR LF ended.
std::string CapturedReply(const std::string& file, const std::string& command) {
  std::ifstream in(std::string(VELMORIX_TEST_DATA_DIR) + "/" + file);
  std::string line, reply;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.starts_with(">> ")) {
      if (inside)
        break;
      inside = line == ">> " + command;
    } else if (inside) {
      reply += line + "\r\n";
    }
  }
  EXPECT_FALSE(reply.empty()) << command << " in " << file;
  return reply;
}

class FtpReplyParserTest : public ::testing::Test {};

TEST_F(FtpReplyParserTest, MultiLineReplyArrivesWholeInAnyPieces) {
  const std::string feat = CapturedReply("pyftpdlib-port.txt", "FEAT");
  for (size_t piece : {size_t{1}, size_t{7}, feat.size()}) {
    FtpReplyParser parser;
    std::vector<FtpReply> replies;
    FeedAll(parser, feat + "200 next", piece, replies);
    ASSERT_EQ(replies.size(), 1u) << "pieces of " << piece;
    EXPECT_EQ(replies[0].code, 211);
    EXPECT_TRUE(replies[0].text.starts_with("211-Features supported:\n EPRT\n"));
    EXPECT_TRUE(replies[0].text.ends_with("\n UTF8\n211 End FEAT."));
    EXPECT_TRUE(parser.HasPendingBytes());
  }
}

TEST_F(FtpReplyParserTest, LinesThatLookLikeRepliesDoNotEndAMultiLineReply) {
  FtpReplyParser parser;
  std::vector<FtpReply> replies;
  FeedAll(parser,
          "220----------\r\n220-Welcome\r\n550 not the end\r\n220- banner\r\n 220 indented\r\n"
          "220x neither\r\n\r\n220 Ready.\r\n331 Password required.\n211-a\n211\n",
          5, replies);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].text,
            "220----------\n220-Welcome\n550 not the end\n220- banner\n 220 indented\n"
            "220x neither\n\n220 Ready.");
  EXPECT_EQ(replies[1].code, 331);
  EXPECT_EQ(replies[2].text, "211-a\n211");
}

TEST_F(FtpReplyParserTest, HostileStreamsAreRefused) {
  std::string tooManyLines = "211-start\r\n";
  for (size_t i = 0; i < FtpReplyParser::kMaxLines; ++i)
    tooManyLines += " feature\r\n";
  const std::vector<std::string> refused = {
      std::string("220 a\0b\r\n", 9),
      std::string("220 not yet ended \0", 19),
      "hello\r\n",
      "600 bad class\r\n",
      "2a0 letters\r\n",
      "220x ready\r\n",
      " 220 indented\r\n",
      // A line that never ends must not make the client grow without bound.
      "200 " + std::string(FtpReplyParser::kMaxLineLength + 1, 'y'),
      tooManyLines,
  };
  for (const std::string& bytes : refused) {
    FtpReplyParser parser;
    std::vector<FtpReply> replies;
    EXPECT_EQ(FeedAll(parser, bytes, 4096, replies), Result::kMalformed) << bytes.substr(0, 20);
    EXPECT_TRUE(replies.empty());
    // Nothing is parsed after a refusal.
    parser.Feed("200 fine\r\n", 10);
    FtpReply reply;
    EXPECT_EQ(parser.Next(reply), Result::kMalformed);
  }
  FtpReplyParser parser;
  std::vector<FtpReply> replies;
  const std::string longest = "200 " + std::string(FtpReplyParser::kMaxLineLength - 4, 'x');
  FeedAll(parser, longest + "\r\n", 1000, replies);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].text, longest);
}

TEST_F(FtpReplyParserTest, LongSessionsKeepEveryReplyIntact) {
  // The parser drops what it has handed out; thousands of replies later each
  // one must still come out right, also when a reply spans two feeds.
  FtpReplyParser parser;
  for (int i = 0; i < 5000; ++i) {
    const std::string text = "250 reply number " + std::to_string(i);
    const std::string bytes = text + "\r\n";
    parser.Feed(bytes.data(), 7);
    parser.Feed(bytes.data() + 7, bytes.size() - 7);
    FtpReply reply;
    ASSERT_EQ(parser.Next(reply), Result::kReply);
    ASSERT_EQ(reply.text, text);
  }
}

class FtpLoginRepliesTest : public ::testing::Test {};

TEST_F(FtpLoginRepliesTest, FeaturesOfTheCapturedServers) {
  for (const auto& [file, mlst] :
       {std::pair{"pyftpdlib-port.txt", true}, std::pair{"proftpd-port.txt", true},
        std::pair{"vsftpd-port.txt", false}}) {
    FtpReplyParser parser;
    std::vector<FtpReply> replies;
    FeedAll(parser, CapturedReply(file, "FEAT"), 4096, replies);
    ASSERT_EQ(replies.size(), 1u) << file;
    const ServerFeatures features = ParseFeatures(replies[0].text);
    EXPECT_EQ(features.mlst, mlst) << file;
    EXPECT_TRUE(features.utf8) << file;
    EXPECT_TRUE(features.size) << file;
    EXPECT_EQ(features.mfmt, mlst) << file << ": only vsftpd lacks MFMT, as it lacks MLST";
  }
  const ServerFeatures odd = ParseFeatures("211-Features:\n mlst type*;\n UTF8X\n SIZES\n211 UTF8");
  EXPECT_TRUE(odd.mlst);
  EXPECT_FALSE(odd.utf8) << "UTF8X is another feature, and the last line is no feature";
  EXPECT_FALSE(odd.size) << "SIZES is another feature";
}

TEST_F(FtpLoginRepliesTest, LoginFolderFromTheQuotedPath) {
  EXPECT_EQ(ParseQuotedPath("257 \"/home/ftpt\" is the current directory"), "/home/ftpt");
  EXPECT_EQ(ParseQuotedPath("257 \"/a \"\"b\"\" c\"\"\" is current"), "/a \"b\" c\"");
  EXPECT_EQ(ParseQuotedPath("257 /no/quotes"), std::nullopt);
  EXPECT_EQ(ParseQuotedPath("257 \"/never closed"), std::nullopt);
}

TEST_F(FtpLoginRepliesTest, PassivePortsAsServersWriteThem) {
  struct EpsvCase {
    const char* reply;
    std::optional<uint16_t> port;
  };
  for (const EpsvCase& c :
       {EpsvCase{"229 Entering Extended Passive Mode (|||6446|)", 6446},
        EpsvCase{"229 ok (!!!65535!)", 65535}, EpsvCase{"229 (|||0|)", std::nullopt},
        EpsvCase{"229 (|||65536|)", std::nullopt}, EpsvCase{"229 (||1|6446|)", std::nullopt},
        EpsvCase{"229 no port", std::nullopt}}) {
    EXPECT_EQ(ParseEpsvPort(c.reply), c.port) << c.reply;
  }
  struct PasvCase {
    const char* reply;
    uint32_t ipv4;
    uint16_t port;  // 0: nothing parsed
  };
  for (const PasvCase& c :
       {PasvCase{"227 Entering Passive Mode (192,168,1,2,19,137)", 0xC0A80102, 5001},
        PasvCase{"227 Entering Passive Mode 10,0,0,7,4,1.", 0x0A000007, 1025},
        PasvCase{"227 =127,0,0,1,255,255", 0x7F000001, 65535}, PasvCase{"227 (1,2,3,4,5)", 0, 0},
        PasvCase{"227 (256,1,1,1,1,1)", 0, 0}, PasvCase{"227 (1,1,1,1,0,0)", 0, 0}}) {
    const std::optional<PassiveAddress> parsed = ParsePasvAddress(c.reply);
    EXPECT_EQ(parsed.has_value(), c.port != 0) << c.reply;
    if (parsed && c.port != 0) {
      EXPECT_EQ(parsed->ipv4, c.ipv4) << c.reply;
      EXPECT_EQ(parsed->port, c.port) << c.reply;
    }
  }
}

}  // namespace
}  // namespace velmorix::ftp
