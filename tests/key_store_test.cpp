// The per-user key store: its file form, damaged files, atomic saves and
// saves from several programs at once, all against real files.
#include "settings/registry/key_store.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_ftp_server.h"

namespace velmorix::registry {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr std::string_view kSection = "SOFTWARE\\Quenzari\\velmorix\\SETTINGS";
constexpr std::string_view kSectionLine =
    "[HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\velmorix\\SETTINGS]";

// Runs `work` in a child process and returns what it returned, or nothing
// when the child did not end within `limit` (it is then killed) or died. A
// store that waits forever on a FIFO would otherwise hang the test program,
// and a limit set for one save stays in the child.
std::optional<std::string> RunInChild(const std::function<std::string()>& work,
                                      std::chrono::seconds limit = std::chrono::seconds(10)) {
  int channel[2];
  if (pipe(channel) != 0)
    return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    const std::string result = work();
    const bool sent =
        write(channel[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  std::string result;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ended && child > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{channel[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0)
      break;
    char buffer[4096];
    const ssize_t n = read(channel[0], buffer, sizeof buffer);
    if (n <= 0) {
      ended = true;
    } else {
      result.append(buffer, static_cast<size_t>(n));
    }
  }
  close(channel[0]);
  if (child <= 0)
    return std::nullopt;
  if (!ended)
    kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  return result;
}

class KeyStoreFileTest : public ::testing::Test {
 protected:
  fs::path file() const { return dir_.path() / "Quenzari" / "registry.reg"; }

  // Sets values through a fresh store and commits them.
  void Save(const std::vector<std::pair<std::string, RegistryValue>>& values,
            std::string_view section = kSection) {
    KeyStore store(file());
    std::optional<RegistryKey> key = store.CreateKey(section);
    ASSERT_TRUE(key);
    for (const auto& [name, value] : values)
      ASSERT_TRUE(key->SetValue(name, value));
    ASSERT_TRUE(store.Commit());
  }

  // Reads a value through a fresh store.
  std::optional<RegistryValue> Load(std::string_view name, std::string_view section = kSection) {
    KeyStore store(file());
    std::optional<RegistryKey> key = store.OpenKey(section);
    if (!key)
      return std::nullopt;
    return key->QueryValue(name);
  }

  std::vector<fs::path> DamagedCopies() const {
    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(file().parent_path())) {
      if (entry.path().filename().string().starts_with("registry.reg.damaged-")) {
        copies.push_back(entry.path());
      }
    }
    return copies;
  }

  TempDir dir_;
};

// ---------------------------------------------------------------------------
// The file form is binding: a person reads it, a Windows registry imports it.

using FileFormTest = KeyStoreFileTest;

TEST_F(FileFormTest, EachTypeIsWrittenInTheExportSyntax) {
  Save({{"TEXT", RegistryValue::Text("C:\\web \"サイト\"")},
        {"EMPTY", RegistryValue::Text("")},
        {"NUMBER", RegistryValue::Number(10)},
        {"MINUS", RegistryValue::Number(0xFFFFFFFF)},
        {"BYTES", RegistryValue::Bytes("jk")}});
  EXPECT_EQ(ReadFile(file()), std::string("REGEDIT4\n\n") + std::string(kSectionLine) +
                                  "\n"
                                  "\"TEXT\"=\"C:\\\\web \\\"サイト\\\"\"\n"
                                  "\"EMPTY\"=\"\"\n"
                                  "\"NUMBER\"=dword:0000000a\n"
                                  "\"MINUS\"=dword:ffffffff\n"
                                  "\"BYTES\"=hex:6a,6b\n"
                                  "\n");
  EXPECT_EQ(Load("TEXT"), RegistryValue::Text("C:\\web \"サイト\""));
  EXPECT_EQ(Load("EMPTY"), RegistryValue::Text(""));
  EXPECT_EQ(Load("NUMBER"), RegistryValue::Number(10));
  EXPECT_EQ(Load("MINUS"), RegistryValue::Number(0xFFFFFFFF));
  EXPECT_EQ(Load("BYTES"), RegistryValue::Bytes("jk"));
  EXPECT_EQ(Load("TEXT")->StoredLength(), 19u);  // UTF-8 bytes and the terminator
}

TEST_F(FileFormTest, LongByteValueIsWrappedIntoShortLinesAndReadsBack) {
  std::string bytes;
  for (int i = 0; i < 300; ++i)
    bytes.push_back(static_cast<char>(i * 7));
  Save({{"FTPPASS1", RegistryValue::Bytes(bytes)}});
  const std::string text = ReadFile(file());
  size_t lineStart = 0;
  int lines = 0;
  while (lineStart < text.size()) {
    const size_t end = text.find('\n', lineStart);
    EXPECT_LE(end - lineStart, 80u) << text.substr(lineStart, end - lineStart);
    lineStart = end + 1;
    ++lines;
  }
  EXPECT_GT(lines, 10);
  EXPECT_EQ(Load("FTPPASS1"), RegistryValue::Bytes(bytes));
}

TEST_F(FileFormTest, TextWithLineBreaksOrZeroBytesSurvivesInByteForm) {
  const std::string withZero("a\0b", 3);
  Save({{"LINES", RegistryValue::Text("first\nsecond\r\nthird")},
        {"ZERO", RegistryValue::Text(withZero)}});
  const std::string text = ReadFile(file());
  EXPECT_NE(text.find("\"LINES\"=hex(1):66,69,72,73,74,0a,"), std::string::npos) << text;
  EXPECT_EQ(text.find("first\n"), std::string::npos);
  EXPECT_EQ(Load("LINES"), RegistryValue::Text("first\nsecond\r\nthird"));
  EXPECT_EQ(Load("ZERO"), RegistryValue::Text(withZero));
}

TEST_F(FileFormTest, KeyAndValueNamesIgnoreLetterCase) {
  Save({{"LastFtp", RegistryValue::Number(3)}}, "software\\QUENZARI\\Velmorix\\settings");
  EXPECT_EQ(Load("LASTFTP"), RegistryValue::Number(3));
  Save({{"LASTFTP", RegistryValue::Number(4)}});
  EXPECT_EQ(Load("lastftp"), RegistryValue::Number(4));
  // One key and one value, not two of each.
  const ParsedRegistryFile parsed = ParseRegistryFile(ReadFile(file()));
  ASSERT_EQ(parsed.tree.keys().size(), 1u);
  EXPECT_EQ(parsed.tree.keys()[0].values.size(), 1u);
}

TEST_F(FileFormTest, ValuesOfOtherTypesAreKeptAsTheyWere) {
  WriteFile(file(), std::string("REGEDIT4\n\n") + std::string(kSectionLine) +
                        "\n"
                        "\"EXPAND\"=hex(2):25,00\n"
                        "\"MULTI\"=hex(7):61,00,00\n"
                        "@=\"default\"\n\n");
  Save({{"NEW", RegistryValue::Number(1)}});
  EXPECT_EQ(Load("EXPAND"), (RegistryValue{2, std::string("%\0", 2)}));
  EXPECT_EQ(Load("MULTI"), (RegistryValue{7, std::string("a\0\0", 3)}));
  EXPECT_EQ(Load(""), RegistryValue::Text("default"));
  EXPECT_NE(ReadFile(file()).find("\"EXPAND\"=hex(2):25,00\n"), std::string::npos);
  EXPECT_TRUE(DamagedCopies().empty());
}

TEST_F(FileFormTest, FileWrittenOnWindowsIsReadAndNotTakenForDamaged) {
  WriteFile(file(),
            "\xEF\xBB\xBFREGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\velmorix\\"
            "SETTINGS]\r\n\"LASTFTP\"=dword:00000002\r\n\"PASS\"=hex:01,02,\\\r\n  03\r\n"
            "\"GONE\"=-\r\n\r\n");
  EXPECT_EQ(Load("LASTFTP"), RegistryValue::Number(2));
  EXPECT_EQ(Load("PASS"), RegistryValue::Bytes("\x01\x02\x03"));
  EXPECT_FALSE(Load("GONE"));
  Save({{"NEW", RegistryValue::Number(1)}});
  EXPECT_TRUE(DamagedCopies().empty());
}

TEST_F(FileFormTest, DeletedValueAndUncommittedChangesNeverReachTheFile) {
  Save({{"KEEP", RegistryValue::Number(1)}, {"DROP", RegistryValue::Number(2)}});
  {
    KeyStore store(file());
    std::optional<RegistryKey> key = store.CreateKey(kSection);
    key->DeleteValue("drop");
    key->SetValue("LOST", RegistryValue::Number(3));
    EXPECT_FALSE(key->QueryValue("DROP"));  // the store's own reads see its changes
    EXPECT_EQ(key->QueryValue("LOST"), RegistryValue::Number(3));
    EXPECT_EQ(Load("DROP"), RegistryValue::Number(2));  // the file does not, yet
    ASSERT_TRUE(store.Commit());
  }
  EXPECT_FALSE(Load("DROP"));
  EXPECT_EQ(Load("KEEP"), RegistryValue::Number(1));
  {
    KeyStore store(file());
    store.CreateKey(kSection)->SetValue("NEVER", RegistryValue::Number(4));
  }
  EXPECT_FALSE(Load("NEVER"));
}

TEST_F(FileFormTest, KeyOpenedForReadingCannotWriteAndMissingKeyDoesNotOpen) {
  Save({{"A", RegistryValue::Number(1)}});
  KeyStore store(file());
  EXPECT_FALSE(store.OpenKey("SOFTWARE\\Quenzari\\velmorix\\FTPSETTINGS"));
  EXPECT_TRUE(store.OpenKey("SOFTWARE\\Quenzari"));  // a key above a section exists too
  std::optional<RegistryKey> key = store.OpenKey(kSection);
  ASSERT_TRUE(key);
  EXPECT_FALSE(key->SetValue("B", RegistryValue::Number(2)));
  EXPECT_FALSE(store.HasChanges());
  EXPECT_FALSE(store.CreateKey("SOFTWARE\\bad\nkey"));
}

// ---------------------------------------------------------------------------
// A damaged file costs nothing that can still be read, and is kept aside.

using DamagedFileTest = KeyStoreFileTest;

TEST_F(DamagedFileTest, ReadableValuesSurviveGarbageAndTheOldFileIsKeptAside) {
  const std::string damaged = std::string(kSectionLine) +  // no header
                              "\n"
                              "\"GOOD1\"=dword:00000001\n"
                              "this line is noise\n"
                              "\"BADNUMBER\"=dword:zz\n"
                              "\"OPEN\"=\"never closed\n"
                              "\"GOOD2\"=\"two\"\n"
                              "\"BADBYTES\"=hex:6a,xyz\n"
                              "[broken section\n"
                              "\"ORPHAN\"=dword:00000009\n" +
                              std::string(kSectionLine) +
                              "\n"
                              "\"GOOD3\"=hex:01,02\n"
                              "\"CUT\"=hex:01,\\\n";
  WriteFile(file(), damaged);
  EXPECT_EQ(Load("GOOD1"), RegistryValue::Number(1));
  EXPECT_EQ(Load("GOOD2"), RegistryValue::Text("two"));
  EXPECT_EQ(Load("GOOD3"), RegistryValue::Bytes("\x01\x02"));
  for (const char* unreadable : {"BADNUMBER", "OPEN", "BADBYTES", "ORPHAN", "CUT"}) {
    EXPECT_FALSE(Load(unreadable)) << unreadable;
  }

  Save({{"NEW", RegistryValue::Number(5)}});
  const std::vector<fs::path> copies = DamagedCopies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadFile(copies[0]), damaged);
  EXPECT_EQ(Load("GOOD1"), RegistryValue::Number(1));
  EXPECT_EQ(Load("GOOD2"), RegistryValue::Text("two"));
  EXPECT_EQ(Load("NEW"), RegistryValue::Number(5));

  // The replaced file is sound, so the next save keeps nothing aside.
  Save({{"NEWER", RegistryValue::Number(6)}});
  EXPECT_EQ(DamagedCopies().size(), 1u);
}

TEST_F(DamagedFileTest, TruncatedCopyNeverYieldsAWrongValue) {
  std::string bytes;
  for (int i = 0; i < 60; ++i)
    bytes.push_back(static_cast<char>(200 + i));
  const std::vector<std::pair<std::string, RegistryValue>> values = {
      {"LASTFTP", RegistryValue::Number(0xFFFFFFFF)},
      {"FTPNAME1", RegistryValue::Text("site \"one\"")},
      {"FTPPASS1", RegistryValue::Bytes(bytes)},
      {"FTPPORT1", RegistryValue::Number(2121)},
      {"FTPDIR1", RegistryValue::Text("/www/ｻｲﾄ")},
      {"LINES", RegistryValue::Text("a\nb")},
      {"LASTOPT15", RegistryValue::Number(1)}};
  Save(values);
  const std::string whole = ReadFile(file());

  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    const std::string text = whole.substr(0, cut);
    const ParsedRegistryFile parsed = ParseRegistryFile(text);
    if (cut == whole.size()) {
      EXPECT_FALSE(parsed.damaged);
    } else if (!text.empty() && text.back() != '\n') {
      EXPECT_TRUE(parsed.damaged) << "cut at " << cut;
    }
    for (const auto& [name, value] : values) {
      const RegistryValue* read =
          parsed.tree.FindValue("HKEY_CURRENT_USER\\" + std::string(kSection), name);
      // A value is complete once the line after its own has begun.
      const size_t nameAt = whole.find("\"" + name + "\"=");
      size_t end = nameAt;
      do {
        end = whole.find('\n', end) + 1;
      } while (whole[end - 2] == '\\');
      if (cut >= end) {
        ASSERT_NE(read, nullptr) << name << " lost at cut " << cut;
      }
      if (read != nullptr) {
        EXPECT_EQ(*read, value) << name << " wrong at cut " << cut;
      }
    }
  }
}

TEST_F(DamagedFileTest, ValueOnALastLineWithoutLineEndSurvivesASave) {
  const std::string open = "REGEDIT4\n\n" + std::string(kSectionLine) +
                           "\n\"FTPNAME1\"=\"home\"\n\"LASTFTP\"=dword:00000002";
  WriteFile(file(), open);
  EXPECT_EQ(Load("LASTFTP"), RegistryValue::Number(2));
  Save({{"NEW", RegistryValue::Number(1)}});
  EXPECT_EQ(Load("LASTFTP"), RegistryValue::Number(2));
  EXPECT_EQ(Load("FTPNAME1"), RegistryValue::Text("home"));
  // It may still be a cut copy, so it is kept aside all the same.
  const std::vector<fs::path> copies = DamagedCopies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadFile(copies[0]), open);
}

TEST_F(DamagedFileTest, RandomBytesNeverCrashTheStoreAndCanBeReplaced) {
  std::mt19937 random(12345);
  for (int round = 0; round < 200; ++round) {
    std::string junk(random() % 400, '\0');
    for (char& c : junk)
      c = static_cast<char>(random() % 256);
    // Mix in pieces of the real syntax so that the parser gets past the first line.
    if (round % 2 == 0)
      junk = "REGEDIT4\n[" + junk + "]\n\"A\"=hex:" + junk + "\n";
    const ParsedRegistryFile parsed = ParseRegistryFile(junk);
    FormatRegistryFile(parsed.tree);  // whatever was read can be written
  }
  WriteFile(file(), std::string("\0\x01\xff garbage", 12));
  Save({{"AFTER", RegistryValue::Number(7)}});
  EXPECT_EQ(Load("AFTER"), RegistryValue::Number(7));
  EXPECT_EQ(DamagedCopies().size(), 1u);
}

TEST_F(DamagedFileTest, FileThatCannotBeReadIsNeverReplaced) {
  // A folder where the file should be: it opens, but cannot be read.
  fs::create_directories(file() / "inside");
  KeyStore store(file());
  store.CreateKey(kSection)->SetValue("A", RegistryValue::Number(1));
  EXPECT_FALSE(store.Commit());
  EXPECT_TRUE(store.HasChanges());
  EXPECT_TRUE(fs::is_directory(file() / "inside"));
}

// ---------------------------------------------------------------------------
// A save that fails says which file and why, and leaves the file as it was.

class SaveErrorTest : public KeyStoreFileTest {
 protected:
  // Saves one value through a fresh store in a child process, with writes
  // limited to `fileSizeLimit` bytes a file. Returns "saved" or the error.
  std::optional<std::string> SaveInChild(const std::string& value, rlim_t fileSizeLimit) {
    return RunInChild([&] {
      // Beyond the limit a write fails with EFBIG, as on a full disk with ENOSPC.
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      signal(SIGXFSZ, SIG_IGN);
      setrlimit(RLIMIT_FSIZE, &limit);
      KeyStore store(file());
      store.CreateKey(kSection)->SetValue("VALUE", RegistryValue::Text(value));
      std::string error = "not set";
      return store.Commit(&error) ? std::string("saved") : error;
    });
  }
};

struct SaveFault {
  const char* fault;
  std::function<void(const fs::path& file)> arrange;
  rlim_t fileSizeLimit;
  std::vector<std::string> says;  // what the error text holds after the test folder
};

TEST_F(SaveErrorTest, FailedSaveSaysWhichFileAndWhy) {
  const std::string sound = "REGEDIT4\n\n" + std::string(kSectionLine) + "\n\"OLD\"=\"old\"\n\n";
  const std::string big(8000, 'x');
  const SaveFault faults[] = {
      {"FolderIsAFile",
       [](const fs::path& file) { WriteFile(file.parent_path(), "a file, not a folder"); },
       RLIM_INFINITY,
       {"Quenzari: Not a directory"}},
      {"LockCannotBeTaken",
       [&](const fs::path& file) {
         WriteFile(file, sound);
         fs::create_directory(file.string() + ".lock");
       },
       RLIM_INFINITY,
       {"registry.reg.lock: cannot take the lock: Is a directory"}},
      {"WriteOfTheNewFileFails",
       [&](const fs::path& file) { WriteFile(file, sound); },
       4096,
       {"registry.reg.tmp: File too large"}},
      {"LinksLeadInACircle",
       [](const fs::path& file) {
         fs::create_directories(file.parent_path());
         fs::create_symlink("registry.reg", file);
       },
       RLIM_INFINITY,
       {"registry.reg: Too many levels of symbolic links"}},
      // The save creates the file a link leads to, but no folders on the way.
      {"LinkLeadsIntoAMissingFolder",
       [](const fs::path& file) {
         fs::create_directories(file.parent_path());
         fs::create_symlink("../missing/real.reg", file);
       },
       RLIM_INFINITY,
       {"missing/real.reg.tmp: No such file or directory"}},
      {"DamagedFileCannotBeKeptAside",
       [&](const fs::path& file) { WriteFile(file, "damaged " + big); },
       4096,
       {"registry.reg.damaged-", ": cannot keep the damaged file aside: File too large"}},
  };
  for (const SaveFault& f : faults) {
    SCOPED_TRACE(f.fault);
    fs::remove_all(dir_.path() / "Quenzari");
    f.arrange(file());
    const std::string before = ReadFile(file());
    const std::optional<std::string> error = SaveInChild(big, f.fileSizeLimit);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->starts_with(dir_.str() + "/")) << *error;
    for (const std::string& piece : f.says)
      EXPECT_NE(error->find(piece), std::string::npos) << *error;
    EXPECT_EQ(ReadFile(file()), before);
    if (fs::is_directory(file().parent_path())) {
      EXPECT_FALSE(fs::exists(file().string() + ".tmp"));
      EXPECT_TRUE(DamagedCopies().empty());
    }
  }
}

TEST_F(SaveErrorTest, SuccessfulSaveClearsTheErrorText) {
  KeyStore store(file());
  store.CreateKey(kSection)->SetValue("A", RegistryValue::Number(1));
  std::string error = "left over from an earlier save";
  EXPECT_TRUE(store.Commit(&error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(store.loadError(), "");
}

// ---------------------------------------------------------------------------
// Only a regular file of sensible size is read: anything else in its place
// is refused at once, and a save does not replace it.

constexpr size_t kSizeLimit = 16 * 1024 * 1024;

struct SpecialFile {
  const char* fault;
  std::function<void(const fs::path& file)> make;
  const char* says;
};

void MakeFifo(const fs::path& file) {
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0) << std::strerror(errno);
}

// A device that does nothing when opened or read: the null device. Without
// the right to make device nodes, a link to the system's own one.
void MakeDevice(const fs::path& file) {
  if (mknod(file.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
    fs::create_symlink("/dev/null", file);
}

void MakeSocket(const fs::path& file) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(file.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, file.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  close(fd);  // the socket file stays
}

// A file one byte over the limit, holding nothing on the disk.
void MakeOversizedFile(const fs::path& file) {
  WriteFile(file, "REGEDIT4\n");
  fs::resize_file(file, kSizeLimit + 1);
}

using SpecialFileTest = KeyStoreFileTest;

TEST_F(SpecialFileTest, IsRefusedWithoutWaitingAndNeverReplaced) {
  const SpecialFile specials[] = {
      {"FifoHangsTheStore", MakeFifo, ": is a FIFO, not a regular file"},
      {"DeviceIsReadAsAFile", MakeDevice, ": is a device, not a regular file"},
      {"SocketGoesUnexplained", MakeSocket, ": is a socket, not a regular file"},
      {"FolderGoesUnexplained",
       [](const fs::path& file) { fs::create_directories(file / "inside"); },
       ": is a folder, not a file"},
      {"OversizedFileIsReadWhole", MakeOversizedFile,
       ": is larger than 16 MiB, too large for a settings file"},
  };
  for (const SpecialFile& special : specials) {
    SCOPED_TRACE(special.fault);
    fs::remove_all(file().parent_path());
    fs::create_directories(file().parent_path());
    special.make(file());
    struct stat before {};
    ASSERT_EQ(lstat(file().c_str(), &before), 0);

    const std::optional<std::string> result = RunInChild([&] {
      KeyStore store(file());
      const std::string loaded = store.OpenKey("SOFTWARE") ? "not empty" : store.loadError();
      store.CreateKey(kSection)->SetValue("A", RegistryValue::Number(1));
      std::string error;
      return loaded + "\n" + (store.Commit(&error) ? "saved" : error);
    });
    if (!result) {
      ADD_FAILURE() << "the store waited on it";
      continue;
    }
    const std::string expected = file().string() + special.says;
    EXPECT_EQ(*result, expected + "\n" + expected);

    struct stat after {};
    EXPECT_EQ(lstat(file().c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_FALSE(fs::exists(file().string() + ".tmp"));
    EXPECT_TRUE(DamagedCopies().empty());
  }
}

TEST_F(SpecialFileTest, FileAtTheSizeLimitIsStillRead) {
  std::string text = "REGEDIT4\n\n" + std::string(kSectionLine) + "\n\"A\"=dword:00000001\n";
  const std::string comment = ";" + std::string(98, '-') + "\n";
  while (text.size() + comment.size() <= kSizeLimit)
    text += comment;
  text += ";" + std::string(kSizeLimit - text.size() - 2, '-') + "\n";
  ASSERT_EQ(text.size(), kSizeLimit);
  WriteFile(file(), text);
  EXPECT_EQ(Load("A"), RegistryValue::Number(1));
  Save({{"B", RegistryValue::Number(2)}});
  EXPECT_EQ(Load("A"), RegistryValue::Number(1));
  EXPECT_EQ(Load("B"), RegistryValue::Number(2));
}

TEST_F(SpecialFileTest, SettingsTooLargeToReadBackAreNotWritten) {
  Save({{"A", RegistryValue::Number(1)}});
  const std::string before = ReadFile(file());
  KeyStore store(file());
  // Three characters a byte in the file.
  store.CreateKey(kSection)->SetValue("HUGE",
                                      RegistryValue::Bytes(std::string(kSizeLimit / 3, 'x')));
  std::string error;
  EXPECT_FALSE(store.Commit(&error));
  EXPECT_EQ(error, file().string() + ": the settings would be larger than 16 MiB");
  EXPECT_TRUE(ReadFile(file()) == before);  // not compared by EXPECT_EQ: 16 MiB of difference
}

// ---------------------------------------------------------------------------
// A file reached through symbolic links is saved where the links lead, and
// the links stay.

struct Link {
  std::string at;  // below the test folder
  std::string to;  // as written into the link
};

struct LinkedFile {
  const char* fault;
  std::vector<Link> links;  // the first is Quenzari/registry.reg
  std::string real;         // below the test folder
  bool realExists;
};

using LinkedFileTest = KeyStoreFileTest;

TEST_F(LinkedFileTest, SaveWritesThroughTheLinksAndKeepsThem) {
  const std::string old = "REGEDIT4\n\n" + std::string(kSectionLine) + "\n\"OLD\"=\"old\"\n\n";
  const std::string real = (dir_.path() / "elsewhere" / "real.reg").string();
  const LinkedFile layouts[] = {
      {"AbsoluteLinkReplacedByAFile",
       {{"Quenzari/registry.reg", real}},
       "elsewhere/real.reg",
       true},
      {"RelativeLinkReplacedByAFile",
       {{"Quenzari/registry.reg", "../elsewhere/real.reg"}},
       "elsewhere/real.reg",
       true},
      // The second link is relative to its own folder, not to the first one's.
      {"ChainOfLinksReplacedByAFile",
       {{"Quenzari/registry.reg", "../chain/middle.reg"}, {"chain/middle.reg", real}},
       "elsewhere/real.reg",
       true},
      {"ChainOfRelativeLinksReplacedByAFile",
       {{"Quenzari/registry.reg", "../chain/middle.reg"},
        {"chain/middle.reg", "last.reg"},
        {"chain/last.reg", "../elsewhere/real.reg"}},
       "elsewhere/real.reg",
       true},
      {"DanglingLinkReplacedByAFile",
       {{"Quenzari/registry.reg", "../elsewhere/new.reg"}},
       "elsewhere/new.reg",
       false},
  };
  for (const LinkedFile& layout : layouts) {
    SCOPED_TRACE(layout.fault);
    for (const char* folder : {"Quenzari", "chain", "elsewhere"}) {
      fs::remove_all(dir_.path() / folder);
      fs::create_directories(dir_.path() / folder);
    }
    for (const Link& link : layout.links)
      fs::create_symlink(link.to, dir_.path() / link.at);
    const fs::path realFile = dir_.path() / layout.real;
    if (layout.realExists)
      WriteFile(realFile, old);

    Save({{"NEW", RegistryValue::Number(1)}});

    for (const Link& link : layout.links) {
      EXPECT_TRUE(fs::is_symlink(dir_.path() / link.at)) << link.at;
      std::error_code ignored;
      EXPECT_EQ(fs::read_symlink(dir_.path() / link.at, ignored), fs::path(link.to)) << link.at;
    }
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(realFile)));
    const ParsedRegistryFile parsed = ParseRegistryFile(ReadFile(realFile));
    const std::string path = "HKEY_CURRENT_USER\\" + std::string(kSection);
    EXPECT_NE(parsed.tree.FindValue(path, "NEW"), nullptr);
    EXPECT_EQ(parsed.tree.FindValue(path, "OLD") != nullptr, layout.realExists);
    EXPECT_EQ(Load("NEW"), RegistryValue::Number(1));  // read back through the link
    struct stat info {};
    EXPECT_EQ(stat(realFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // The lock stays beside the link; nothing is left beside either.
    EXPECT_TRUE(fs::exists(file().string() + ".lock"));
    EXPECT_FALSE(fs::exists(realFile.string() + ".lock"));
    EXPECT_FALSE(fs::exists(realFile.string() + ".tmp"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(file().string() + ".tmp")));
  }
}

TEST_F(LinkedFileTest, DamagedFileBehindALinkIsKeptBesideIt) {
  const fs::path realFile = dir_.path() / "elsewhere" / "real.reg";
  WriteFile(realFile, "damaged");
  fs::create_directories(file().parent_path());
  fs::create_symlink("../elsewhere/real.reg", file());
  Save({{"NEW", RegistryValue::Number(1)}});
  EXPECT_TRUE(fs::is_symlink(file()));
  EXPECT_TRUE(DamagedCopies().empty());  // not beside the link
  int copies = 0;
  for (const auto& entry : fs::directory_iterator(realFile.parent_path())) {
    if (entry.path().filename().string().starts_with("real.reg.damaged-")) {
      EXPECT_EQ(ReadFile(entry.path()), "damaged");
      ++copies;
    }
  }
  EXPECT_EQ(copies, 1);
}

TEST_F(LinkedFileTest, LinkLeftAtTheTemporaryNameIsNotWrittenThrough) {
  const fs::path bystander = dir_.path() / "bystander.txt";
  WriteFile(bystander, "not the settings");
  Save({{"A", RegistryValue::Number(1)}});
  fs::create_symlink(bystander, file().string() + ".tmp");
  Save({{"B", RegistryValue::Number(2)}});
  EXPECT_EQ(ReadFile(bystander), "not the settings");
  EXPECT_FALSE(fs::is_symlink(file()));
  EXPECT_EQ(Load("A"), RegistryValue::Number(1));
  EXPECT_EQ(Load("B"), RegistryValue::Number(2));
}

// ---------------------------------------------------------------------------
// A save replaces the file whole or not at all.

using AtomicSaveTest = KeyStoreFileTest;

TEST_F(AtomicSaveTest, FileIsCreatedPrivateWithoutLeftovers) {
  umask(0);  // even a careless umask must not open up the passwords
  Save({{"A", RegistryValue::Number(1)}});
  umask(022);
  struct stat info {};
  ASSERT_EQ(stat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(file().string() + ".tmp"));
}

TEST_F(AtomicSaveTest, TemporaryFileLeftByACrashedSaveDoesNoHarm) {
  Save({{"A", RegistryValue::Number(1)}});
  WriteFile(file().string() + ".tmp", "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"JUNK\"=dword:1\n");
  fs::permissions(file().string() + ".tmp", fs::perms(0644));
  EXPECT_EQ(Load("A"), RegistryValue::Number(1));
  Save({{"B", RegistryValue::Number(2)}});
  EXPECT_EQ(Load("A"), RegistryValue::Number(1));
  EXPECT_EQ(Load("B"), RegistryValue::Number(2));
  EXPECT_EQ(ReadFile(file()).find("JUNK"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(AtomicSaveTest, SaveWhereNoFolderCanBeMadeFailsQuietly) {
  WriteFile(dir_.path() / "plain", "a file, not a folder");
  KeyStore store(dir_.path() / "plain" / "Quenzari" / "registry.reg");
  store.CreateKey(kSection)->SetValue("A", RegistryValue::Number(1));
  EXPECT_FALSE(store.Commit());
  EXPECT_TRUE(store.HasChanges());
  EXPECT_EQ(ReadFile(dir_.path() / "plain"), "a file, not a folder");
}

TEST_F(AtomicSaveTest, WriterKilledAtAnyMomentLeavesAWholeFile) {
  const std::string small(64, 'a');
  const std::string large(40000, 'b');
  Save({{"DATA", RegistryValue::Text(small)}});
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) {
        KeyStore store(file());
        store.CreateKey(kSection)->SetValue("DATA", RegistryValue::Text(i % 2 ? small : large));
        store.Commit();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 40));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    const ParsedRegistryFile parsed = ParseRegistryFile(ReadFile(file()));
    EXPECT_FALSE(parsed.damaged) << "round " << round;
    const RegistryValue* data =
        parsed.tree.FindValue("HKEY_CURRENT_USER\\" + std::string(kSection), "DATA");
    ASSERT_NE(data, nullptr) << "round " << round;
    EXPECT_TRUE(data->data == small || data->data == large) << "round " << round;
  }
}

// ---------------------------------------------------------------------------
// Two programs saving at once keep each other's values.

using ConcurrentSaveTest = KeyStoreFileTest;

TEST_F(ConcurrentSaveTest, StoreReadBeforeAnotherSaveWritesOnlyItsOwnChanges) {
  Save({{"SHARED", RegistryValue::Number(1)}, {"MINE", RegistryValue::Number(1)}});
  KeyStore early(file());  // reads the file now
  Save({{"THEIRS", RegistryValue::Number(2)}, {"SHARED", RegistryValue::Number(2)}});
  std::optional<RegistryKey> key = early.CreateKey(kSection);
  key->SetValue("MINE", RegistryValue::Number(3));
  ASSERT_TRUE(early.Commit());

  EXPECT_EQ(Load("THEIRS"), RegistryValue::Number(2));
  EXPECT_EQ(Load("SHARED"), RegistryValue::Number(2));
  EXPECT_EQ(Load("MINE"), RegistryValue::Number(3));
  // After its save the store sees the file as it now is.
  EXPECT_EQ(key->QueryValue("THEIRS"), RegistryValue::Number(2));
}

TEST_F(ConcurrentSaveTest, ProcessesSavingAtTheSameTimeLoseNothing) {
  constexpr int kProcesses = 4;
  constexpr int kSavesEach = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool ok = true;
      for (int i = 0; i < kSavesEach; ++i) {
        KeyStore store(file());
        std::optional<RegistryKey> key = store.CreateKey(kSection);
        ok = key &&
             key->SetValue("P" + std::to_string(p) + "_" + std::to_string(i),
                           RegistryValue::Number(static_cast<uint32_t>(i))) &&
             store.Commit() && ok;
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  KeyStore store(file());
  std::optional<RegistryKey> key = store.OpenKey(kSection);
  ASSERT_TRUE(key);
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kSavesEach; ++i) {
      EXPECT_EQ(key->QueryValue("P" + std::to_string(p) + "_" + std::to_string(i)),
                RegistryValue::Number(static_cast<uint32_t>(i)))
          << p << "_" << i;
    }
  }
}

TEST_F(ConcurrentSaveTest, HeldLockMakesReadAndSaveOneStepThatOtherSavesWaitFor) {
  Save({{"COUNT", RegistryValue::Number(1)}});
  std::optional<KeyStore> holder(std::in_place, file());
  Save({{"COUNT", RegistryValue::Number(2)}});  // before the lock: seen by it
  ASSERT_TRUE(holder->Lock());
  EXPECT_EQ(holder->OpenKey(kSection)->QueryValue("COUNT"), RegistryValue::Number(2));

  // Another save meanwhile waits for the holder, so the holder's read-decide-
  // write cannot be undone by it, nor lose it.
  std::atomic<bool> otherSaved{false};
  std::thread other([&] {
    Save({{"OTHER", RegistryValue::Number(7)}});
    otherSaved = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(otherSaved);
  std::optional<RegistryKey> key = holder->CreateKey(kSection);
  key->SetValue("COUNT", RegistryValue::Number(3));
  ASSERT_TRUE(holder->Commit());  // takes no second lock: it would wait on itself
  EXPECT_FALSE(otherSaved);
  key.reset();
  holder.reset();  // the lock goes with the store
  other.join();
  EXPECT_EQ(Load("COUNT"), RegistryValue::Number(3));
  EXPECT_EQ(Load("OTHER"), RegistryValue::Number(7));
}

// ---------------------------------------------------------------------------

class UserKeyStorePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(UserKeyStorePathTest, ConfigHomeIsUsedOnlyWhenItIsAnAbsolutePath) {
  setenv("HOME", "/home/someone", 1);
  setenv("XDG_CONFIG_HOME", "/tmp/config", 1);
  EXPECT_EQ(UserKeyStorePath("Quenzari"), fs::path("/tmp/config/Quenzari/registry.reg"));
  for (const char* ignored : {"", "relative/config"}) {
    setenv("XDG_CONFIG_HOME", ignored, 1);
    EXPECT_EQ(UserKeyStorePath("Quenzari"),
              fs::path("/home/someone/.config/Quenzari/registry.reg"));
  }
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(UserKeyStorePath("Quenzari"), fs::path("/home/someone/.config/Quenzari/registry.reg"));
}

}  // namespace
}  // namespace velmorix::registry
