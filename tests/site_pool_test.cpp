// Extra connections of another protocol, opened through a connector: what
// the walk hands over arrives once, refusals come back to the walk, and a
// server that lets fewer connections in leaves the walk to send the rest.
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/site_pool.h"
#include "tests/support/memory_site.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::testing {
namespace {

// Each connection a server of its own in memory, holding "/site"; the
// first `admitted` opens succeed.
class MemoryConnector final : public SiteConnector {
 public:
  explicit MemoryConnector(int admitted, std::set<std::string> refused = {})
      : admitted_(admitted), refused_(std::move(refused)) {}

  std::unique_ptr<OpenSite> Open(const SiteOpening&, FtpStatus& status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (static_cast<int>(sites_.size()) >= admitted_) {
      status = FtpStatus::Error(FtpErrorKind::kConnectionRefused, "too many connections");
      return nullptr;
    }
    auto site = std::make_shared<MemorySite>();
    site->AddFolder("/site");
    site->refusedUploads = refused_;
    sites_.push_back(site);
    return std::make_unique<Opened>(site);
  }
  std::string ProtocolName() const override { return "MEMORY"; }

  // Every file that arrived, on whichever connection.
  std::multiset<std::string> Arrived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::multiset<std::string> paths;
    for (const auto& site : sites_) {
      for (const auto& [path, node] : site->nodes) {
        if (!node.isDir)
          paths.insert(path);
      }
    }
    return paths;
  }

 private:
  class Opened final : public OpenSite {
   public:
    explicit Opened(std::shared_ptr<MemorySite> site) : site_(std::move(site)) {}
    RemoteSite& Site() override { return *site_; }
    bool IsOpen() const override { return true; }
    std::string LoginText() const override { return "memory"; }

   private:
    std::shared_ptr<MemorySite> site_;
  };

  const int admitted_;
  const std::set<std::string> refused_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<MemorySite>> sites_;
};

TEST(SitePoolTest, HandedOverUploadsArriveOnceAndRefusalsComeBack) {
  struct Case {
    const char* name;
    int admitted;  // connections the server lets in
    std::set<std::string> refused;
    std::string notice;  // once every login was tried
    size_t handedOver;   // of the four files
    std::vector<std::string> refusedBack;
  };
  const Case cases[] = {
      {"AllIn", 3, {}, "Parallel connections to h : 4 of 4", 4, {}},
      {"OneRefused", 3, {"b.html"}, "Parallel connections to h : 4 of 4", 4, {"b.html"}},
      {"NoneLetIn", 0, {}, "Parallel connections to h : 1 of 4", 0, {}},
  };
  TempDir local;
  std::vector<std::string> names = {"a.html", "b.html", "c.html", "d.html"};
  for (const std::string& name : names)
    WriteFile(local.path() / name, "page " + name);
  for (const Case& c : cases) {
    MemoryConnector connector(c.admitted, c.refused);
    FtpProfile profile;
    profile.url = "h";
    RunProgress progress;
    CancelEvent cancelEvent;
    SitePool pool(connector, profile, {}, {}, 3, progress, cancelEvent);
    // The walk goes on while they log in; here it waits for the notice.
    std::string notice;
    for (int i = 0; i < 500 && notice.empty(); ++i) {
      notice = pool.TakeNotice();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(notice, c.notice) << c.name;
    size_t handedOver = 0;
    for (const std::string& name : names) {
      // One at a time, as the walk would find each file, until all are busy.
      const ParallelUpload upload{(local.path() / name).string(), "/site", name, 6, false, {}};
      if (pool.TryStart(upload))
        ++handedOver;
      EXPECT_TRUE(pool.Settle("/site").empty()) << c.name;
    }
    const ParallelUploads::Ended ended = pool.Wait(ParallelUploads::Ending::kLetFinish);
    EXPECT_EQ(handedOver, c.handedOver) << c.name;
    std::vector<std::string> refusedBack;
    for (const RefusedUpload& each : ended.refused)
      refusedBack.push_back(each.upload.name);
    EXPECT_EQ(refusedBack, c.refusedBack) << c.name;
    EXPECT_EQ(pool.Failed(), !c.refusedBack.empty()) << c.name;
    EXPECT_TRUE(ended.cut.empty() && ended.givenBack.empty()) << c.name;
    EXPECT_EQ(connector.Arrived().size() + c.refusedBack.size(), handedOver) << c.name;
    EXPECT_EQ(progress.Read().filesUploaded,
              static_cast<int64_t>(handedOver - c.refusedBack.size()))
        << c.name;
  }
}

}  // namespace
}  // namespace velmorix::testing
