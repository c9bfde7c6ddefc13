#include "soak/SoakClients.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include <openssl/ssl.h>
#include <rapidjson/document.h>

#include "mux/protocol/MuxAnswerStream.h"
#include "tests/support/Processes.h"
#include "tests/support/TlsTestClient.h"

namespace Soak {
namespace {

using namespace std::chrono_literals;

constexpr int kLockOpen = 10;
constexpr int kLockGetStatus = 12;
constexpr int kFirstEventCode = 50;  // 50, 51 and 60 are events
constexpr auto kSlack = 50ms;
constexpr auto kSlice = 20ms;

bool IsEvent(const rapidjson::Document& object) {
    if (!object.HasMember("MessageCode") || !object["MessageCode"].IsInt()) {
        return false;
    }
    const int code = object["MessageCode"].GetInt();
    return code == kFirstEventCode || code == 51 || code == 60;
}

std::string Data(int gateway, long lockId) {
    return R"({"gatewayID":)" + std::to_string(gateway) + R"(,"lockID":)" + std::to_string(lockId) +
           "}";
}

}  // namespace

Connection::Connection(const ClientSite& site, const std::string& certificate) {
    if (certificate.empty()) {
        fd_ = TestSupport::ConnectTo(site.plainPort, 2s);
        open_ = fd_ >= 0;
    } else {
        tls_ =
            std::make_unique<TestSupport::TlsTestClient>(site.tlsPort, site.certsDir, certificate);
        open_ = tls_->HandshakeDone();
        fd_ = tls_->Fd();
    }
}

Connection::~Connection() {
    if (!tls_ && fd_ >= 0) {
        ::close(fd_);
    }
}

bool Connection::Send(const std::string& bytes) {
    if (!open_) {
        return false;
    }
    open_ = tls_ ? SSL_write(tls_->Ssl(), bytes.data(), static_cast<int>(bytes.size())) ==
                       static_cast<int>(bytes.size())
                 : TestSupport::SendAll(fd_, bytes);
    return open_;
}

bool Connection::Receive(std::chrono::milliseconds wait, std::vector<std::string>& objects) {
    if (!open_) {
        return false;
    }
    const bool buffered = tls_ && SSL_pending(tls_->Ssl()) > 0;
    pollfd readable{fd_, POLLIN, 0};
    if (buffered || ::poll(&readable, 1, static_cast<int>(wait.count())) > 0) {
        char buffer[16384];
        const int got = tls_ ? SSL_read(tls_->Ssl(), buffer, sizeof buffer)
                             : static_cast<int>(::recv(fd_, buffer, sizeof buffer, 0));
        if (got <= 0) {
            open_ = false;
            return false;
        }
        pending_.append(buffer, static_cast<size_t>(got));
    }
    while (!pending_.empty() && pending_[0] == '{') {
        const size_t length = Mux::CompleteObjectLength(pending_);
        if (length == 0) {
            break;
        }
        objects.push_back(pending_.substr(0, length));
        pending_.erase(0, length);
    }
    return true;
}

Clock::time_point Outstanding::Waiting::NotSentBy(const ClientSite& site) const {
    return arrival + site.requestTimeout + kSlack;
}

Clock::time_point Outstanding::Waiting::AnsweredBy(const ClientSite& site) const {
    return arrival + 2 * site.requestTimeout + kSlack;
}

bool Connection::Join() {
    constexpr int kNoGateway = 0;  // configured nowhere: answered at once
    if (!Send(TestSupport::Frame(
            TestSupport::Request("join", kLockGetStatus, Data(kNoGateway, 0))))) {
        return false;
    }
    const auto end = Clock::now() + 10s;
    std::vector<std::string> objects;
    while (Clock::now() < end && Receive(kSlice, objects)) {
        for (const std::string& object : objects) {
            if (object.find(R"("MessageID":"join")") != std::string::npos) {
                return true;
            }
        }
        objects.clear();
    }
    return false;
}

std::string Outstanding::Make(const std::string& id, int gateway, bool door,
                              Clock::duration intake) {
    const auto now = Clock::now();
    if (door) {
        ledger_.DoorSent(gateway, now + intake);
    }
    waiting_[id] = Waiting{now + intake, door};
    ledger_.Count(door ? "door commands sent" : "status requests sent");
    return TestSupport::Frame(
        TestSupport::Request(id, door ? kLockOpen : kLockGetStatus, Data(gateway, site_.lockId)));
}

void Outstanding::TakeAnswers(std::vector<std::string>& objects) {
    std::vector<std::string> events;
    for (std::string& object : objects) {
        rapidjson::Document parsed;
        parsed.Parse(object.c_str(), object.size());
        if (IsEvent(parsed)) {
            events.push_back(std::move(object));
        } else {
            Answered(object);
        }
    }
    objects = std::move(events);
}

void Outstanding::Answered(const std::string& object) {
    const auto now = Clock::now();
    rapidjson::Document answer;
    answer.Parse(object.c_str(), object.size());
    if (answer.HasParseError() || !answer.IsObject() || !answer.HasMember("MessageID") ||
        !answer["MessageID"].IsString() || !answer.HasMember("MessageCode") ||
        !answer["MessageCode"].IsInt()) {
        ledger_.Check(Invariant::Answers, false, "an answer that is not one: " + object);
        return;
    }
    const std::string id = answer["MessageID"].GetString();
    const auto found = waiting_.find(id);
    if (found == waiting_.end()) {
        ledger_.Check(Invariant::Answers, overdue_.erase(id) == 1,
                      "a second answer, or one to no request: " + object);
        return;
    }
    DoorAnswer door{answer["MessageCode"].GetInt(), ""};
    const auto& data = answer.HasMember("Data") ? answer["Data"] : answer["MessageCode"];
    if (data.IsObject() && data.HasMember("Message") && data["Message"].IsString()) {
        door.message = data["Message"].GetString();
    }
    // Answered without reaching the gateway: by the first deadline.
    const bool notSent =
        door.code == 1 && (door.message.find("not sent") != std::string::npos ||
                           door.message.find("not connected") != std::string::npos);
    const auto due = notSent ? found->second.NotSentBy(site_) : found->second.AnsweredBy(site_);
    const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(now - due);
    const std::string lateness = "the answer to " + id + " (" +
                                 (door.code == 0 ? "ACK" : door.message) + ") came " +
                                 std::to_string(late.count() + 50) + " ms after its deadline";
    if (now > due && now <= due + kLateRoom) {
        ledger_.Late(lateness);
    }
    ledger_.Check(Invariant::Answers, now <= due + kLateRoom, lateness);
    ledger_.Count(door.code == 0 ? "answers: ACK" : "answers: NACK");
    if (door.code != 0) {
        ledger_.Count("NACK: " + door.message.substr(0, door.message.find_first_of("0123456789")));
    }
    if (found->second.door) {
        ledger_.DoorAnswered(id, std::move(door));
    }
    waiting_.erase(found);
}

void Outstanding::Expire() {
    const auto now = Clock::now();
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->second.AnsweredBy(site_) < now) {
            ledger_.Check(Invariant::Answers, false, "no answer to " + it->first + " in time");
            overdue_.insert(it->first);
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
}

void Outstanding::Abandon(bool doorsTaken) {
    for (const auto& [id, waiting] : waiting_) {
        if (waiting.door && doorsTaken) {
            ledger_.DoorAbandoned(id);
        }
    }
    waiting_.clear();
}

SteadyClient::SteadyClient(Ledger& ledger, const ClientSite& site, int index,
                           std::string certificate, bool events, uint64_t seed)
    : ledger_(ledger),
      site_(site),
      index_(index),
      certificate_(std::move(certificate)),
      events_(events),
      random_(seed),
      thread_([this] { Run(); }) {}

SteadyClient::~SteadyClient() {
    Stop();
}

void SteadyClient::Stop() {
    sending_ = false;
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SteadyClient::Event(const std::string& object) {
    rapidjson::Document event;
    event.Parse(object.c_str(), object.size());
    const auto& data = event["Data"];
    if (!events_) {
        ledger_.Check(Invariant::Events, false,
                      "client " + std::to_string(index_) + " may not get events, got " + object);
        return;
    }
    if (!data.IsObject() || !data.HasMember("gatewayID") || !data.HasMember("RFIDData") ||
        !data["RFIDData"].IsString()) {
        ledger_.Check(Invariant::Events, false, "an event without its data: " + object);
        return;
    }
    const int gateway = data["gatewayID"].GetInt();
    const uint32_t number =
        static_cast<uint32_t>(std::strtoul(data["RFIDData"].GetString() + 2, nullptr, 16));
    uint32_t& last = lastEvent_[gateway];
    ledger_.Check(Invariant::Events, number > last,
                  "client " + std::to_string(index_) + " got event " + std::to_string(number) +
                      " of gateway " + std::to_string(gateway) + " after " + std::to_string(last));
    last = std::max(last, number);
    ledger_.EventSeen(index_, gateway, number);
}

void SteadyClient::Run() {
    Connection connection(site_, certificate_);
    Outstanding outstanding(ledger_, site_);
    ledger_.Check(Invariant::Answers, connection.Open() && connection.Join(),
                  "steady client " + std::to_string(index_) + " could not connect");
    std::uniform_int_distribution<int> gateway(1, site_.gateways);
    std::uniform_int_distribution<int> gap(200, 1200);
    std::bernoulli_distribution door(0.7);
    uint64_t serial = 0;
    auto next = Clock::now();
    while (!stop_ || !outstanding.Empty()) {
        if (sending_ && Clock::now() >= next) {
            const std::string id = "s" + std::to_string(index_) + "-" + std::to_string(++serial);
            connection.Send(outstanding.Make(id, gateway(random_), door(random_)));
            next = Clock::now() + std::chrono::milliseconds(gap(random_));
        }
        std::vector<std::string> objects;
        if (!connection.Receive(kSlice, objects)) {
            ledger_.Check(Invariant::Answers, false,
                          "lockhub ended steady client " + std::to_string(index_));
            ledger_.ClientLost(index_);
            outstanding.Abandon(true);
            return;
        }
        outstanding.TakeAnswers(objects);
        for (const std::string& event : objects) {
            Event(event);
        }
        outstanding.Expire();
    }
}

ChaosClient::ChaosClient(Ledger& ledger, const ClientSite& site, int index, std::string certificate,
                         uint64_t seed)
    : ledger_(ledger),
      site_(site),
      index_(index),
      certificate_(std::move(certificate)),
      random_(seed),
      thread_([this] { Run(); }) {}

ChaosClient::~ChaosClient() {
    Stop();
}

void ChaosClient::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string ChaosClient::NextId() {
    return "c" + std::to_string(index_) + "-" + std::to_string(++serial_);
}

int ChaosClient::AnyGateway() {
    return std::uniform_int_distribution<int>(1, site_.gateways)(random_);
}

void ChaosClient::Pause(Clock::duration d) {
    const auto end = Clock::now() + d;
    while (!Stopping() && Clock::now() < end) {
        std::this_thread::sleep_for(kSlice);
    }
}

void ChaosClient::Run() {
    std::uniform_int_distribution<int> behaviour(0, 4);
    std::uniform_int_distribution<int> rest(100, 3000);
    while (!Stopping()) {
        switch (behaviour(random_)) {
            case 0:
                Flood();
                break;
            case 1:
                StopReading();
                break;
            case 2:
                Vanish();
                break;
            case 3:
                Slowloris();
                break;
            default:
                Visit();
                break;
        }
        Pause(std::chrono::milliseconds(rest(random_)));
    }
}

void ChaosClient::Drain(Connection& connection, Outstanding& outstanding) {
    while (!outstanding.Empty()) {
        std::vector<std::string> objects;
        if (!connection.Receive(kSlice, objects)) {
            ledger_.Check(Invariant::Answers, false,
                          "lockhub ended a client that reads: " + std::to_string(index_));
            outstanding.Abandon(true);
            return;
        }
        outstanding.TakeAnswers(objects);
        outstanding.Expire();
    }
}

// Hundreds of requests in one write, then every answer read.
void ChaosClient::Flood() {
    Connection connection(site_, certificate_);
    Outstanding outstanding(ledger_, site_);
    if (!connection.Join()) {
        return;
    }
    // lockhub reads a burst one request after another: each request ahead may take it
    // this long.
    constexpr auto kIntakePerRequest = 500us;
    const int count = std::uniform_int_distribution<int>(20, 150)(random_);
    std::string burst;
    for (int n = 0; n < count; ++n) {
        burst += outstanding.Make(NextId(), AnyGateway(), n % 2 == 0, n * kIntakePerRequest);
    }
    ledger_.Count("faults: client floods");
    if (!connection.Send(burst)) {
        outstanding.Abandon(false);
        return;
    }
    Drain(connection, outstanding);
}

// Requests, and nothing read: lockhub keeps the answers up to its limit, then closes.
void ChaosClient::StopReading() {
    Connection connection(site_, certificate_);
    Outstanding outstanding(ledger_, site_);
    ledger_.Count("faults: clients that stop reading");
    const auto end =
        Clock::now() + std::chrono::seconds(std::uniform_int_distribution<int>(2, 15)(random_));
    while (!Stopping() && Clock::now() < end &&
           connection.Send(outstanding.Make(NextId(), AnyGateway(), false))) {
        std::this_thread::sleep_for(kSlice);
    }
    outstanding.Abandon(false);
}

// Door commands, and the connection closed at once.
void ChaosClient::Vanish() {
    Connection connection(site_, certificate_);
    Outstanding outstanding(ledger_, site_);
    const int count = std::uniform_int_distribution<int>(1, 5)(random_);
    std::string burst;
    for (int n = 0; n < count; ++n) {
        burst += outstanding.Make(NextId(), AnyGateway(), true);
    }
    ledger_.Count("faults: clients that vanish mid-request");
    outstanding.Abandon(connection.Send(burst));
}

// A request's packet a byte at a time, slowly, never finished.
void ChaosClient::Slowloris() {
    Connection connection(site_, certificate_);
    Outstanding outstanding(ledger_, site_);
    ledger_.Count("faults: slowloris clients");
    const std::string packet = TestSupport::Frame(
        TestSupport::Request(NextId(), kLockGetStatus, Data(AnyGateway(), site_.lockId)));
    const auto end =
        Clock::now() + std::chrono::seconds(std::uniform_int_distribution<int>(2, 20)(random_));
    for (size_t at = 0; at + 1 < packet.size() && !Stopping() && Clock::now() < end; ++at) {
        if (!connection.Send(packet.substr(at, 1))) {
            return;
        }
        Pause(std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 800)(random_)));
    }
}

// A well-behaved client for a few seconds.
void ChaosClient::Visit() {
    Connection connection(site_, certificate_);
    Outstanding outstanding(ledger_, site_);
    if (!connection.Join()) {
        return;
    }
    const auto end =
        Clock::now() + std::chrono::seconds(std::uniform_int_distribution<int>(1, 10)(random_));
    auto next = Clock::now();
    while (!Stopping() && Clock::now() < end) {
        if (Clock::now() >= next) {
            if (!connection.Send(outstanding.Make(NextId(), AnyGateway(), random_() % 2 == 0))) {
                break;
            }
            next = Clock::now() +
                   std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 500)(random_));
        }
        std::vector<std::string> objects;
        connection.Receive(kSlice, objects);
        outstanding.TakeAnswers(objects);
        outstanding.Expire();
    }
    Drain(connection, outstanding);
}

}  // namespace Soak
