// The exclusion patterns: what each form matches and what it must not, and
// which patterns are refused, without a file or a server.
#include "settings/exclusion_patterns.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmorix::testing {
namespace {

struct MatchCase {
  const char* pattern;
  const char* folder;  // below the local folder's top, "" at the top
  const char* name;
  bool isFolder;
  bool excluded;
};

void PrintTo(const MatchCase& c, std::ostream* out) {
  *out << '"' << c.pattern << "\" on \"" << c.folder << '/' << c.name << (c.isFolder ? "/" : "")
       << '"';
}

class ExclusionMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ExclusionMatchTest, MatchesAsWritten) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(CheckPattern(c.pattern), PatternProblem::kNone);
  EXPECT_EQ(ExclusionPatterns::Compile(c.pattern).Excludes(c.folder, c.name, c.isFolder),
            c.excluded);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ExclusionMatchTest,
    ::testing::Values(
        // A trailing "/" matches folders only, at any depth.
        MatchCase{".git/", "", ".git", true, true}, MatchCase{".git/", "a/b", ".git", true, true},
        MatchCase{".git/", "", ".git", false, false},
        MatchCase{".git/", "", ".gitignore", false, false},
        // A plain name, at any depth and in any ASCII letter case.
        MatchCase{"Thumbs.db", "photos/2024", "THUMBS.DB", false, true},
        MatchCase{"Thumbs.db", "", "Thumbs.db.bak", false, false},
        MatchCase{"Thumbs.db", "", "Thumbs.db", true, true},
        MatchCase{"é.txt", "", "É.txt", false, false},  // only ASCII folds
        // "*" and "?" stay within one name.
        MatchCase{"*~", "", "index.html~", false, true}, MatchCase{"*~", "", "~x", false, false},
        MatchCase{"*.swp", "sub", ".index.html.swp", false, true},
        MatchCase{"*.swp", "", "a.swpx", false, false},
        MatchCase{"*.PSD", "design", "banner.psd", false, true},
        MatchCase{"a*b*c", "", "aXbYbZc", false, true},
        MatchCase{"a*b*c", "", "aXbYbZ", false, false},
        MatchCase{"?.txt", "", "a.txt", false, true},
        MatchCase{"?.txt", "", "ab.txt", false, false},
        MatchCase{"?.txt", "", ".txt", false, false},
        MatchCase{"?.txt", "", "あ.txt", false, true},  // one character of three bytes
        MatchCase{"*", "a/b", "anything", false, true},
        MatchCase{"**", "a/b", "anything", true, true},
        // Sets, ranges and their negation.
        MatchCase{"[abc].html", "", "B.html", false, true},
        MatchCase{"[abc].html", "", "d.html", false, false},
        MatchCase{"[a-c]x", "", "bx", false, true}, MatchCase{"[a-c]x", "", "dx", false, false},
        MatchCase{"[!a-c]x", "", "dx", false, true}, MatchCase{"[!a-c]x", "", "Bx", false, false},
        MatchCase{"[^a]x", "", "ax", false, false}, MatchCase{"[]]x", "", "]x", false, true},
        MatchCase{"[a-]x", "", "-x", false, true}, MatchCase{"[あ-お]", "", "え", false, true},
        // A "/" elsewhere anchors the pattern at the top of the local folder.
        MatchCase{"docs/*.psd", "docs", "a.psd", false, true},
        MatchCase{"docs/*.psd", "sub/docs", "a.psd", false, false},
        MatchCase{"docs/*.psd", "", "a.psd", false, false},
        MatchCase{"DOCS/*.psd", "docs", "a.psd", false, true},
        MatchCase{"a/*", "a/b", "c", false, false},  // "*" does not cross a "/"
        MatchCase{"/build", "", "build", true, true},
        MatchCase{"/build", "src", "build", true, false},
        MatchCase{"/build/", "", "build", false, false},
        // "**" as a whole name: any number of folders, or what lies inside.
        MatchCase{"**/cache/", "", "cache", true, true},
        MatchCase{"**/cache/", "a/b", "cache", true, true},
        MatchCase{"**/cache/", "a", "cache", false, false},
        MatchCase{"a/**/z", "a", "z", false, true}, MatchCase{"a/**/z", "a/b/c", "z", false, true},
        MatchCase{"a/**/z", "b/a", "z", false, false},
        MatchCase{"logs/**", "logs", "x", false, true},
        MatchCase{"logs/**", "logs/deep", "y", true, true},
        MatchCase{"logs/**", "", "logs", true, false},
        // Escapes take a character as itself; an escaped blank at the end stays.
        MatchCase{"\\*.html", "", "*.html", false, true},
        MatchCase{"\\*.html", "", "a.html", false, false},
        MatchCase{"\\#notes", "", "#notes", false, true},
        MatchCase{"\\!keep", "", "!keep", false, true}, MatchCase{"a\\ ", "", "a ", false, true},
        MatchCase{"  a.txt  ", "", "a.txt", false, true}));

struct RefusalCase {
  const char* pattern;
  PatternProblem problem;
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
  *out << '"' << c.pattern << '"';
}

class ExclusionRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ExclusionRefusalTest, IsRefusedWithItsReason) {
  EXPECT_EQ(CheckPattern(GetParam().pattern), GetParam().problem) << GetParam().pattern;
}

INSTANTIATE_TEST_SUITE_P(Forms, ExclusionRefusalTest,
                         ::testing::Values(RefusalCase{"!keep.html", PatternProblem::kNegation},
                                           RefusalCase{"[abc", PatternProblem::kUnclosedSet},
                                           RefusalCase{"[a/b]", PatternProblem::kUnclosedSet},
                                           RefusalCase{"[!]", PatternProblem::kUnclosedSet},
                                           RefusalCase{"[z-a]", PatternProblem::kReversedRange},
                                           RefusalCase{"abc\\", PatternProblem::kTrailingEscape},
                                           RefusalCase{"a**b", PatternProblem::kDoubleStarInName},
                                           RefusalCase{"**a", PatternProblem::kDoubleStarInName},
                                           RefusalCase{"a/***/b",
                                                       PatternProblem::kDoubleStarInName},
                                           RefusalCase{"a//b", PatternProblem::kEmptyFolderName},
                                           RefusalCase{"../x", PatternProblem::kDotFolderName},
                                           RefusalCase{"a/./b", PatternProblem::kDotFolderName},
                                           RefusalCase{"/", PatternProblem::kNoName},
                                           RefusalCase{"   ", PatternProblem::kNoName},
                                           RefusalCase{"# a comment", PatternProblem::kNoName},
                                           RefusalCase{"a\nb", PatternProblem::kLineBreak},
                                           RefusalCase{"a\xff", PatternProblem::kNotUtf8}));

TEST(ExclusionListTest, LinesCommentsAndRefusals) {
  EXPECT_EQ(PatternLines("a\r\n\n  b  \n# c\n\\#d\n*.swp"),
            (std::vector<std::string>{"a", "b", "\\#d", "*.swp"}));

  const std::optional<RefusedPattern> refused = FindRefusedPattern(".git/\n# [ok\n[x\n!y\n");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->pattern, "[x");
  EXPECT_EQ(refused->problem, PatternProblem::kUnclosedSet);
  EXPECT_FALSE(FindRefusedPattern(".git/\n*.swp\n\n# editor backups\n*~"));

  // A line that cannot be read is left out; the others still match.
  const ExclusionPatterns compiled = ExclusionPatterns::Compile("[x\n*.psd");
  EXPECT_TRUE(compiled.Excludes("", "a.psd", false));
  EXPECT_FALSE(compiled.Excludes("", "[x", false));
  EXPECT_TRUE(ExclusionPatterns::Compile("# only a comment\n\n").empty());
  EXPECT_FALSE(ExclusionPatterns().Excludes("", "a", false));
}

TEST(ExclusionListTest, AppendingAddsAPatternOnce) {
  EXPECT_EQ(AppendPattern("", "*.psd"), "*.psd");
  EXPECT_EQ(AppendPattern(".git/", "*.psd"), ".git/\n*.psd");
  EXPECT_EQ(AppendPattern(".git/\n", "*.psd"), ".git/\n*.psd");
  EXPECT_EQ(AppendPattern(".git/\n*.psd\n", "*.psd"), ".git/\n*.psd\n");
}

}  // namespace
}  // namespace velmorix::testing
