// lockhub killed with SIGKILL at random moments while door commands arrive, and started
// again: every start succeeds, every line of the trail parses (a torn last line is moved
// aside), and with "AuditSync": "before-send" every answered door command has its line.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <random>
#include <set>
#include <sstream>

#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

// Under an emulator each start takes seconds: fewer rounds there.
int Rounds() {
    return DeadlineFactor() > 1 ? 25 : 100;
}

}  // namespace

TEST(AbruptEnd, KilledAtRandomUnderLoadLosesNoLineThatWasPromised) {
    TempDir folder;
    const std::string trail = folder.File("audit.log");
    // No gateway: lockhub answers each door command at once, after its line is synced.
    const std::string configuration = R"({"Enabled": true, "AuditSync": "before-send", )"
                                      R"("AuditLog": ")" +
                                      trail + R"(", "Gateways": []})";
    std::mt19937 random(24);
    std::uniform_int_distribution<int> loadMilliseconds(5, 150);
    std::set<std::string> answered;
    int sent = 0;
    for (int round = 0; round < Rounds(); ++round) {
        Lockhub hub(folder, configuration);
        MuxClient client(hub.Port());
        ASSERT_TRUE(client.Connected()) << "start " << round << ":\n" << hub.Log();
        const auto killAt =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(loadMilliseconds(random));
        do {
            const std::string id = "kill-" + std::to_string(round) + "-" + std::to_string(sent++);
            ASSERT_TRUE(client.Send(Request(id, 10, R"({"gatewayID":9,"lockID":4711})")));
            const std::string answer = client.Receive();
            ASSERT_EQ(Member(answer, "MessageID"), "\"" + id + "\"") << answer;
            answered.insert(id);
        } while (std::chrono::steady_clock::now() < killAt);
        // One more on its way as the kill comes.
        client.Send(Request("in-flight-" + std::to_string(round), 10,
                            R"({"gatewayID":9,"lockID":4711})"));
        hub.Process().Signal(SIGKILL);
        ASSERT_TRUE(hub.Process().WaitExit(10s));
    }
    // The last start repairs what the last kill left.
    { Lockhub last(folder, configuration); ASSERT_TRUE(MuxClient(last.Port()).Connected()); }

    std::istringstream lines(ReadFile(trail));
    std::set<std::string> recorded;
    size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        rapidjson::Document entry;
        entry.Parse(line.c_str());
        ASSERT_TRUE(entry.IsObject() && entry.HasMember("MessageID")) << "line " << count << ": "
                                                                      << line;
        recorded.insert(entry["MessageID"].GetString());
    }
    size_t missing = 0;
    for (const std::string& id : answered) {
        missing += recorded.count(id) == 0 ? 1 : 0;
    }
    EXPECT_EQ(missing, 0u) << "of " << answered.size() << " answered door commands";
    EXPECT_GT(answered.size(), static_cast<size_t>(Rounds()));
    std::cout << Rounds() << " kills: " << answered.size() << " door commands answered, "
              << count << " trail lines, " << missing << " missing, torn lines moved aside: "
              << CountOf(ReadFile(trail + ".torn"), "\n") << "\n";
}
