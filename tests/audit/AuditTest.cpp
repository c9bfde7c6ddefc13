#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "audit/AuditTrail.h"
#include "tests/support/TestLog.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Mux::Audit::AuditEntry;
using Mux::Audit::AuditTrail;
using Mux::Audit::kUnknown;
using Mux::Audit::Outcome;

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        lines.push_back(text.substr(begin, end - begin));
    }
    return lines;
}

bool IsJsonObject(const std::string& line) {
    rapidjson::Document document;
    document.Parse(line.c_str());
    return !document.HasParseError() && document.IsObject();
}

class AuditTrailTest : public ::testing::Test {
protected:
    void SetUp() override { TestSupport::CaptureLog(); }
    std::unique_ptr<AuditTrail> Open(const std::string& path,
                                     size_t maxQueuedBytes = AuditTrail::kMaxQueuedBytes) {
        std::string reason;
        auto trail = AuditTrail::Open(path, reason, maxQueuedBytes);
        EXPECT_TRUE(trail) << reason;
        return trail;
    }
    TestSupport::TempDir folder_;
};

TEST_F(AuditTrailTest, LinesAreEscapedJsonWithTheMembersThatApplyAppendedTo0600File) {
    std::string path = folder_.File("audit.log");
    // 2026-12-08 13:25:01.042 UTC
    auto when = std::chrono::system_clock::time_point(1796736301042ms);
    AuditEntry door;
    door.time = when;
    door.SetCertificateClient("front-desk");
    door.messageId = "m-17";
    door.gatewayId = 1;
    door.lockId = 4711;
    door.request = "OpenLock";
    door.outcome = Outcome::Ack;
    AuditEntry nack = door;
    nack.SetPlainClient("127.0.0.1:40210");
    nack.messageId = std::string("a\"b\\c\nd\x01\xFF\0", 10);
    nack.outcome = Outcome::Nack;
    nack.errorCode = 3;
    nack.message = "No route for device address 4711";
    AuditEntry broken;
    broken.time = when;
    broken.SetPlainClient("127.0.0.1:40211");
    broken.messageId = kUnknown;
    broken.gatewayId = kUnknown;
    broken.outcome = Outcome::NotPermitted;
    AuditEntry card;
    card.time = when;
    card.gatewayId = 2;
    card.lockId = 100;
    card.request = "CardReaderEvent";

    auto trail = Open(path);
    for (const AuditEntry* entry : {&door, &nack, &broken}) {
        trail->Record(*entry);
    }
    trail->Close();
    trail = Open(path);
    trail->Record(card);
    trail.reset();

    std::string head = R"({"Time":"2026-12-08T13:25:01.042Z",)";
    EXPECT_EQ(TestSupport::ReadFile(path),
              head +
                  R"("Client":"front-desk","MessageID":"m-17","GatewayID":1,"LockID":4711,)"
                  R"("Request":"OpenLock","Outcome":"ACK"})"
                  "\n" +
                  head +
                  R"("Client":"plain","Peer":"127.0.0.1:40210","MessageID":"a\"b\\c\nd\u0001)"
                  "\xEF\xBF\xBD"
                  R"(\u0000","GatewayID":1,"LockID":4711,"Request":"OpenLock","Outcome":"NACK",)"
                  R"("ErrorCode":3,"Message":"No route for device address 4711"})"
                  "\n" +
                  head +
                  R"("Client":"plain","Peer":"127.0.0.1:40211","MessageID":null,"GatewayID":null,)"
                  R"("Outcome":"NOT_PERMITTED"})"
                  "\n" +
                  head +
                  R"("GatewayID":2,"LockID":100,"Request":"CardReaderEvent"})"
                  "\n");
    for (const std::string& line : LinesOf(TestSupport::ReadFile(path))) {
        EXPECT_TRUE(IsJsonObject(line)) << line;
    }
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(AuditTrailTest, LinesFromManyThreadsStayWholeAndInOrder) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 400;
    std::string path = folder_.File("audit.log");
    auto trail = Open(path, 64 * 1024 * 1024);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            AuditEntry entry;
            entry.SetCertificateClient("client-" + std::to_string(t));
            for (int i = 0; i < kPerThread; ++i) {
                entry.messageId = std::to_string(i);
                entry.message = std::string(3000 + i, static_cast<char>('a' + t));
                trail->Record(entry);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    trail->Close();
    EXPECT_EQ(trail->DroppedEntries(), 0u);
    EXPECT_EQ(trail->WrittenLines(), static_cast<uint64_t>(kThreads * kPerThread));

    std::vector<int> next(kThreads, 0);
    std::vector<std::string> lines = LinesOf(TestSupport::ReadFile(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
    for (const std::string& line : lines) {
        rapidjson::Document document;
        document.Parse(line.c_str());
        ASSERT_TRUE(!document.HasParseError() && document.IsObject()) << line.substr(0, 80);
        int t = std::stoi(document["Client"].GetString() + std::string("client-").size());
        int i = std::stoi(document["MessageID"].GetString());
        EXPECT_EQ(i, next[t]++);
        EXPECT_EQ(document["Message"].GetString(),
                  std::string(3000 + i, static_cast<char>('a' + t)));
    }
}

// Lines that must be on the disk first: each callback comes once its line is in the file and
// synced, in order; lines recorded while the writer is busy share one sync.
TEST_F(AuditTrailTest, LinesRecordedTogetherShareOneSyncBeforeTheirCallbacks) {
    const std::string path = folder_.File("audit.log");
    auto trail = Open(path);
    AuditEntry entry;
    entry.request = "OpenLock";
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> firstCalled;
    // The first callback holds the writer up, so that the next lines arrive together.
    trail->RecordThen(entry, [&](bool onDisk) {
        EXPECT_TRUE(onDisk);
        firstCalled.set_value();
        released.wait();
    });
    ASSERT_EQ(firstCalled.get_future().wait_for(10s), std::future_status::ready);
    const uint64_t syncsBefore = trail->Syncs();
    constexpr int kBurst = 200;
    std::vector<int> order;
    std::mutex orderMutex;
    for (int i = 0; i < kBurst; ++i) {
        entry.messageId = std::to_string(i);
        trail->RecordThen(entry, [&, i](bool onDisk) {
            EXPECT_TRUE(onDisk);
            const std::string text = TestSupport::ReadFile(path);
            EXPECT_NE(text.find("\"MessageID\":\"" + std::to_string(i) + "\""), std::string::npos);
            std::lock_guard<std::mutex> lock(orderMutex);
            order.push_back(i);
        });
    }
    release.set_value();
    ASSERT_TRUE(TestSupport::WaitFor([&] {
        std::lock_guard<std::mutex> lock(orderMutex);
        return order.size() == kBurst;
    }));
    EXPECT_EQ(trail->Syncs(), syncsBefore + 1);
    std::vector<int> expected(kBurst);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
    // Once Close began, a line is refused at once: it will never be on the disk.
    trail->Close();
    bool refused = false;
    trail->RecordThen(entry, [&](bool onDisk) { refused = !onDisk; });
    EXPECT_TRUE(refused);
}

// A device that is always full: the lines wait, one log line tells, and Close gives them up.
TEST_F(AuditTrailTest, AFullDiskHoldsItsLinesUntilCloseAndIsLoggedOnce) {
    TestSupport::LogTail log;
    auto trail = Open("/dev/full");
    AuditEntry entry;
    entry.request = "OpenLock";
    for (int i = 0; i < 3; ++i) {
        trail->Record(entry);
    }
    ASSERT_TRUE(TestSupport::WaitFor([&] { return trail->WriteErrors() >= 2; }));
    EXPECT_FALSE(trail->Writable());
    EXPECT_EQ(trail->FailedWrites(), 0u);
    trail->Close();
    EXPECT_EQ(trail->FailedWrites(), 3u);
    EXPECT_EQ(trail->WrittenLines(), 0u);
    EXPECT_EQ(TestSupport::CountOf(log.Text(), "cannot be written: No space left on device"), 1u);
    EXPECT_EQ(TestSupport::CountOf(log.Text(),
                                   "Audit trail /dev/full closed while it could not "
                                   "be written: 3 lines were given up."),
              1u);
}

// A small file system filled up, then freed: nothing recorded meanwhile is lost.
TEST_F(AuditTrailTest, LinesWaitWhileTheFileSystemIsFullAndAllArriveOnceItIsNot) {
    TestSupport::SmallFileSystem disk(folder_);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    TestSupport::LogTail log;
    {
        auto trail = Open(disk.File("audit.log"));
        disk.Fill();
        AuditEntry entry;
        entry.message = std::string(2000, 'm');
        for (int i = 0; i < 20; ++i) {
            trail->Record(entry);
        }
        ASSERT_TRUE(TestSupport::WaitFor([&] { return !trail->Writable(); }));
        disk.Free();
        EXPECT_TRUE(trail->WaitUntilWritten(10s));
        EXPECT_TRUE(trail->Writable());
        EXPECT_EQ(trail->WrittenLines(), 20u);
        EXPECT_EQ(trail->FailedWrites(), 0u);
    }
    const std::vector<std::string> lines = LinesOf(TestSupport::ReadFile(disk.File("audit.log")));
    EXPECT_EQ(lines.size(), 20u);
    for (const std::string& line : lines) {
        EXPECT_TRUE(IsJsonObject(line)) << line.substr(0, 80);
    }
    EXPECT_EQ(TestSupport::CountOf(log.Text(), "cannot be written: No space left on device"), 1u);
    EXPECT_TRUE(log.WaitFor("is written again, after"));
}

// lockhub ended while writing a line: the torn line is moved aside, never left in the middle.
TEST_F(AuditTrailTest, ATornLastLineIsMovedAsideAtOpen) {
    TestSupport::LogTail log;
    const std::string path = folder_.File("audit.log");
    const std::string whole = R"({"Request":"OpenLock","Outcome":"ACK"})"
                              "\n";
    TestSupport::WriteFile(path, whole + whole + R"({"Request":"Open)");
    {
        auto trail = Open(path);
        AuditEntry entry;
        entry.request = "CloseLock";
        trail->Record(entry);
    }
    const std::vector<std::string> lines = LinesOf(TestSupport::ReadFile(path));
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) {
        EXPECT_TRUE(IsJsonObject(line)) << line;
    }
    EXPECT_EQ(TestSupport::ReadFile(path + AuditTrail::kTornSuffix), "{\"Request\":\"Open\n");
    EXPECT_TRUE(log.WaitFor("its last line was cut short (16 bytes"));
}

TEST_F(AuditTrailTest, AStalledDiskNeverHoldsUpRecordEntriesAreDroppedCountedAndLogged) {
    TestSupport::LogTail log;
    std::string path = folder_.File("stalled");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // A reader that reads nothing until told: the writer thread blocks once the pipe is full.
    int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto trail = Open(path, 16 * 1024);
    constexpr int kEntries = 2000;
    auto recording = std::async(std::launch::async, [&] {
        AuditEntry entry;
        entry.message = std::string(500, 'x');
        for (int i = 0; i < kEntries; ++i) {
            trail->Record(entry);
        }
    });
    bool recordReturned = recording.wait_for(10s) == std::future_status::ready;
    EXPECT_TRUE(recordReturned);
    EXPECT_GT(trail->DroppedEntries(), 0u);
    EXPECT_TRUE(log.WaitFor("cannot keep up: entries are dropped"));

    // Now the disk catches up: everything that was kept arrives whole.
    ::fcntl(reader, F_SETFL, 0);
    auto draining = std::async(std::launch::async, [reader] {
        std::string text;
        char chunk[65536];
        for (ssize_t count; (count = ::read(reader, chunk, sizeof chunk)) > 0;) {
            text.append(chunk, static_cast<size_t>(count));
        }
        return text;
    });
    recording.wait();
    trail->Close();
    ASSERT_EQ(draining.wait_for(10s), std::future_status::ready);
    std::vector<std::string> lines = LinesOf(draining.get());
    ::close(reader);
    EXPECT_EQ(lines.size(), trail->WrittenLines());
    EXPECT_EQ(trail->WrittenLines() + trail->DroppedEntries(), static_cast<uint64_t>(kEntries));
    for (const std::string& line : lines) {
        EXPECT_TRUE(IsJsonObject(line));
    }
    EXPECT_TRUE(log.WaitFor("entries were dropped: it could not keep up."));
}

TEST_F(AuditTrailTest, AMoveWhileThreadsRecordPutsEachEntryInExactlyOneFileInOrder) {
    constexpr int kThreads = 4;
    std::string oldPath = folder_.File("old.log");
    std::string newPath = folder_.File("new.log");
    auto trail = Open(oldPath, 64 * 1024 * 1024);
    std::atomic<bool> moved{false};
    std::vector<std::future<int>> recorders;
    for (int t = 0; t < kThreads; ++t) {
        recorders.push_back(std::async(std::launch::async, [&, t] {
            AuditEntry entry;
            entry.SetCertificateClient("client-" + std::to_string(t));
            int recorded = 0;
            for (int afterMove = 0; afterMove < 300; afterMove += moved ? 1 : 0) {
                entry.messageId = std::to_string(recorded++);
                trail->Record(entry);
            }
            return recorded;
        }));
    }
    ASSERT_TRUE(TestSupport::WaitFor([&] { return trail->WrittenLines() >= 100; }));
    std::string reason;
    EXPECT_TRUE(trail->Reopen(newPath, reason)) << reason;
    moved = true;
    EXPECT_EQ(trail->Path(), newPath);
    std::vector<int> recorded;
    for (auto& recorder : recorders) {
        recorded.push_back(recorder.get());
    }
    trail->Close();

    // Each thread's entries count up from 0 through the old file, then the new one.
    std::vector<int> next(kThreads, 0);
    for (const std::string& path : {oldPath, newPath}) {
        std::vector<std::string> lines = LinesOf(TestSupport::ReadFile(path));
        EXPECT_GE(lines.size(), 100u) << path;
        for (const std::string& line : lines) {
            rapidjson::Document document;
            document.Parse(line.c_str());
            ASSERT_TRUE(!document.HasParseError() && document.IsObject()) << line;
            int t = std::stoi(document["Client"].GetString() + std::string("client-").size());
            EXPECT_EQ(std::stoi(document["MessageID"].GetString()), next[t]++) << path;
        }
    }
    EXPECT_EQ(next, recorded);
    EXPECT_EQ(trail->WrittenLines(), static_cast<uint64_t>(std::reduce(next.begin(), next.end())));
}

TEST_F(AuditTrailTest, AMoveToAFileThatCannotBeOpenedLeavesTheTrailWhereItWas) {
    std::string path = folder_.File("audit.log");
    auto trail = Open(path);
    std::string missing = folder_.File("missing/audit.log");
    std::string reason;
    EXPECT_FALSE(trail->Reopen(missing, reason));
    EXPECT_EQ(reason, "AuditLog " + missing + ": cannot be opened: No such file or directory");
    EXPECT_EQ(trail->Path(), path);
    trail->Record(AuditEntry{});
    trail->Close();
    EXPECT_EQ(LinesOf(TestSupport::ReadFile(path)).size(), 1u);
}

TEST(AuditTrailCheckTest, CheckPathTellsWhyAFileCannotBeOpened) {
    TestSupport::TempDir folder;
    EXPECT_EQ(AuditTrail::CheckPath(folder.File("audit.log")), "");
    EXPECT_EQ(AuditTrail::CheckPath(folder.Path()), "AuditLog " + folder.Path() + ": is a folder");
    EXPECT_EQ(AuditTrail::CheckPath("/nonexistent/audit.log"),
              "AuditLog /nonexistent/audit.log: cannot be created in /nonexistent: No such file "
              "or directory");
    std::string reason;
    EXPECT_FALSE(AuditTrail::Open("/nonexistent/audit.log", reason));
    EXPECT_EQ(reason,
              "AuditLog /nonexistent/audit.log: cannot be opened: No such file or directory");
}

}  // namespace
