#pragma once

// A private session bus, the real service binary on it with private
// settings, and a client: what every integration test starts from.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bookmarks/BookmarkUtils.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "support/BusClient.h"
#include "support/DesktopFakes.h"
#include "support/PrivateBus.h"

namespace zivuv::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = std::make_unique<PrivateBus>();
    ASSERT_TRUE(bus_->ok()) << bus_->error();
    client_ = std::make_unique<BusClient>(bus_->address());
    ASSERT_TRUE(client_->ok()) << client_->error();
    client_->setTimeout(60s);
    ASSERT_TRUE(xdgOpen_.ok());
    fs::create_directories(watched());
    watchedReal_ = fs::canonical(watched());
    // The test reads and writes the same settings as the service.
    ::setenv("XDG_CONFIG_HOME", config().c_str(), 1);
  }

  void TearDown() override {
    if (service_) lastTranscript_ = service_->transcript();
    service_.reset();
    if (HasFailure() && lastTranscript_.size() > 0) {
      std::cerr << "--- service output ---\n" << lastTranscript_ << "\n";
    }
  }

  fs::path config() const { return dir_ / "config"; }
  fs::path watched() const { return dir_ / "watched"; }
  const fs::path& watchedReal() const { return watchedReal_; }
  fs::path faultsFile() const { return dir_ / "faults"; }
  fs::path suiteFile() const { return config() / "Zivuv" / "VO9ZE47VOD.com.dozezeza.plist"; }

  Environment serviceEnvironment() const {
    return {{"DBUS_SESSION_BUS_ADDRESS", bus_->address()},
            {"XDG_CONFIG_HOME", config().string()},
            {"ZIVUV_LOG", "stderr"},
            {"ZIVUV_FAULTS", faultsFile().string()},
            {"ZIVUV_LOCALEDIR", binaryPath("../locale").lexically_normal().string()},
            {"PATH", xdgOpen_.pathWithStandIn()},
            {"LC_ALL", "C.UTF-8"},
            {"LANGUAGE", std::nullopt},
            {"LANG", std::nullopt}};
  }

  // Starts the service and waits until it owns its name.
  Process& startService(const Environment& extra = {}) {
    auto env = serviceEnvironment();
    for (auto& [key, value] : extra) env[key] = value;
    service_ = std::make_unique<Process>(
        std::vector<std::string>{binaryPath("zivuv-folder-monitor").string()}, env);
    EXPECT_TRUE(service_->ok()) << service_->error();
    EXPECT_TRUE(client_->waitForName(names::kService, deadlineIn(20s)))
        << service_->transcript();
    return *service_;
  }

  void stopService() {
    if (!service_) return;
    lastTranscript_ = service_->transcript();
    service_->signal(SIGKILL);
    (void)service_->waitExit(deadlineIn(10s));
    (void)client_->waitForNameGone(names::kService, deadlineIn(10s));
    service_.reset();
  }

  static std::function<bool(const std::string&)> is(const std::string& line) {
    return [line](const std::string& l) { return l == line; };
  }
  bool waitForLog(const std::string& line, std::size_t n = 1, Deadline deadline = deadlineIn(20s)) {
    return service_->waitForLines(Stream::Err, is(line), n, deadline);
  }
  // The service's lines arrive through a pipe, after the reply that they
  // precede: wait for n of them, then check that there are no more.
  void expectLines(const std::string& line, std::size_t n, Stream stream = Stream::Err) {
    EXPECT_TRUE(service_->waitForLines(stream, is(line), n, deadlineIn(20s))) << line;
    EXPECT_EQ(service_->countLines(stream, is(line)), n) << line;
  }
  std::size_t logCount(const std::string& line) const {
    return service_->countLines(Stream::Err, is(line));
  }

  // Hands the folder to the service, which must then monitor it.
  void watchFolder(const fs::path& folder) {
    const auto data = BookmarkUtils::createTransportData(FileURL::fromPath(folder.string(), true));
    ASSERT_TRUE(data.has_value()) << folder;
    ASSERT_EQ(client_->startMonitoring(*data), std::optional<bool>(true)) << client_->lastError();
  }

  fs::path makeRepository(const std::string& name) {
    const fs::path path = watched() / name;
    std::string error;
    EXPECT_TRUE(gitInit(path, &error)) << error;
    return path;
  }

  // The smallest folder that git and libgit2 take for a repository, made
  // without running git: for fixtures of hundreds.
  fs::path makeBareBonesRepository(const std::string& name) {
    const fs::path git = watched() / name / ".git";
    fs::create_directories(git / "objects");
    fs::create_directories(git / "refs" / "heads");
    EXPECT_TRUE(writeFile(git / "HEAD", "ref: refs/heads/main\n"));
    return watched() / name;
  }

  // The real paths listed in the shared suite, in stored order; "?" for an
  // entry that does not resolve.
  std::vector<std::string> listedPaths() const {
    std::vector<std::string> paths;
    const auto suite = platform::DefaultsStore::openSuite(sharedSuiteName());
    if (!suite) return {"<suite cannot be opened>"};
    for (const auto& data : suite->dataArray("kSandboxKey").value_or(std::vector<Data>{})) {
      const auto resolved = platform::resolveBookmark(data, platform::BookmarkKind::Transport);
      paths.push_back(resolved.url ? resolved.url->path() : "?");
    }
    return paths;
  }

  std::string folderInWatched(const std::string& name) const {
    return (watchedReal_ / name).string();
  }

  void writeFaults(const std::string& text) { ASSERT_TRUE(writeFile(faultsFile(), text)); }

  TempDir dir_{"zivuv-it"};
  StandInXdgOpen xdgOpen_;
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<BusClient> client_;
  std::unique_ptr<Process> service_;
  fs::path watchedReal_;
  std::string lastTranscript_;
};

}  // namespace zivuv::testing
