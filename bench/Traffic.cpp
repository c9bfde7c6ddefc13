#include "bench/Traffic.h"

#include <poll.h>

#include <algorithm>

#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"

namespace Bench {
namespace {

using TestSupport::Member;

constexpr auto kLockhubCheckPeriod = 100ms;
constexpr auto kRestOfAnswer = 1s;  // for an answer whose first bytes arrived
constexpr size_t kShortestFrame =
    Quarn::Messages::QUARN_FRAME_HEADER_SIZE + Quarn::Messages::QUARN_FRAME_CRC_SIZE;

std::string Unquoted(const std::string& text) {
    return text.size() >= 2 && text.front() == '"' ? text.substr(1, text.size() - 2) : text;
}

}  // namespace

std::string TaggedLocks() {
    std::string list;
    for (int i = 0; i < kTaggedLocks; ++i) {
        list += (i == 0 ? "" : ",") + std::to_string(kFirstTaggedLock + i);
    }
    return list;
}

int TrafficResult::Unanswered() const {
    return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                          [](const DoorRequest& r) { return !r.answered; }));
}

std::vector<double> TrafficResult::RoundTrips(const std::vector<int>& gateways,
                                              const std::vector<bool>& skip, Clock::time_point from,
                                              Clock::time_point until) const {
    std::vector<double> times;
    for (size_t i = 0; i < requests.size(); ++i) {
        const DoorRequest& request = requests[i];
        if (request.ack && request.sent >= from && request.sent < until &&
            !(i < skip.size() && skip[i]) &&
            std::find(gateways.begin(), gateways.end(), request.gateway) != gateways.end()) {
            times.push_back(Milliseconds(*request.answered - request.sent));
        }
    }
    return times;
}

Traffic::Traffic(int port, int clients) {
    for (int i = 0; i < clients; ++i) {
        clients_.push_back(std::make_unique<MuxClient>(port));
        Register(*clients_.back(), Format("traffic-client-%d", i));
    }
}

TrafficResult Traffic::Run(const TrafficPlan& plan, LockhubProcess& lockhub) {
    struct Stream {
        int gateway;
        std::chrono::milliseconds gap;
        Clock::time_point due;
        long count = 0;
    };
    TrafficResult result;
    result.start = Clock::now();
    const auto start = result.start;
    // The streams start spread over their gap, the light ones between the busy ones, and
    // a frame spacing late: the gateways may just have sent a frame (a readiness probe's).
    std::vector<Stream> streams;
    const auto first = start + kGatewaySpacing;
    const auto busyStep = plan.busyGap / std::max<size_t>(1, plan.busy.size());
    for (size_t k = 0; k < plan.busy.size(); ++k) {
        streams.push_back({plan.busy[k], plan.busyGap, first + busyStep * k});
    }
    for (size_t k = 0; k < plan.light.size(); ++k) {
        streams.push_back({plan.light[k], plan.lightGap,
                           first + busyStep / 2 + plan.lightGap * k / plan.light.size()});
    }
    std::vector<pollfd> polled;
    for (const auto& client : clients_) {
        polled.push_back({client->Fd(), POLLIN, 0});
    }
    std::map<std::string, size_t> pending;  // quoted MessageID -> index in requests
    auto take = [&](const std::string& answer) {
        auto found = pending.find(Member(answer, "MessageID"));
        if (found == pending.end()) {
            return;
        }
        DoorRequest& request = result.requests[found->second];
        request.answered = Clock::now();
        request.ack = Member(answer, "MessageCode") == kAck;
        request.message = Unquoted(Member(answer, "Message"));
        pending.erase(found);
    };
    auto send = [&](Stream& stream) {
        for (size_t tries = 0; tries < clients_.size(); ++tries) {
            const size_t i = static_cast<size_t>(serial_++) % clients_.size();
            if (polled[i].fd < 0) {
                continue;
            }
            const long lockId = kFirstTaggedLock + stream.count++ % kTaggedLocks;
            const std::string id = Format("door-%d-%d", stream.gateway, serial_);
            const auto sent = Clock::now();
            if (!clients_[i]->Send(OpenRequest(id, stream.gateway, lockId))) {
                ++result.sendFailures;
                polled[i].fd = -1;
                continue;
            }
            pending.emplace("\"" + id + "\"", result.requests.size());
            result.requests.push_back({stream.gateway, lockId, sent, std::nullopt, false, ""});
            return;
        }
        ++result.sendFailures;
    };

    const auto stopSending = start + plan.length;
    const auto giveUp = stopSending + plan.answerWait;
    auto nextCheck = start;
    bool middleTaken = false;
    result.rss.push_back(lockhub.Meter().ResidentKilobytes());
    for (;;) {
        const auto now = Clock::now();
        if (now >= nextCheck) {
            nextCheck = now + kLockhubCheckPeriod;
            if (!lockhub.Running()) {
                result.lockhubEndedAfter = Seconds(now - start);
                break;
            }
            if (!middleTaken && now >= start + plan.length / 2) {
                result.rss.push_back(lockhub.Meter().ResidentKilobytes());
                middleTaken = true;
            }
        }
        const bool sending = now < stopSending;
        if (!sending && (pending.empty() || now >= giveUp)) {
            break;
        }
        auto wake = std::min(nextCheck, sending ? stopSending : giveUp);
        for (Stream& stream : streams) {
            if (!sending) {
                break;
            }
            if (stream.due <= now) {
                send(stream);
                // A late loop skips the slots it missed rather than sending a burst.
                while (stream.due <= now) {
                    stream.due += stream.gap;
                }
            }
            wake = std::min(wake, stream.due);
        }
        const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
        if (::poll(polled.data(), polled.size(),
                   static_cast<int>(std::max<int64_t>(0, timeout.count()))) <= 0) {
            continue;
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            if (polled[i].fd < 0 || polled[i].revents == 0) {
                continue;
            }
            std::string answer = clients_[i]->Receive(kRestOfAnswer);
            if (answer.empty() && PeerClosed(polled[i].fd)) {
                polled[i].fd = -1;
            }
            while (!answer.empty()) {
                take(answer);
                answer = clients_[i]->Receive(0ms);
            }
        }
    }
    result.end = Clock::now();
    if (!result.lockhubEndedAfter) {
        result.rss.push_back(lockhub.Meter().ResidentKilobytes());
    }
    return result;
}

TcpRelay::Tap FrameLog::Tap() {
    return [this](int connection, Clock::time_point at, std::string_view bytes) {
        Add(connection, at, bytes);
    };
}

std::vector<FrameLog::Frame> FrameLog::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

void FrameLog::Add(int connection, Clock::time_point at, std::string_view bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string& buffer = pending_[connection];
    buffer.append(bytes);
    // lockhub writes whole frames, one after the other; the first byte is the length.
    while (!buffer.empty()) {
        const size_t length = static_cast<unsigned char>(buffer[0]);
        if (length < kShortestFrame) {
            buffer.clear();  // out of step: nothing to learn from the rest
            break;
        }
        if (buffer.size() < length) {
            break;
        }
        auto frame = Quarn::Messages::QuarnMessageBuilder::Parse(
            std::vector<unsigned char>(buffer.begin(), buffer.begin() + static_cast<long>(length)));
        if (frame) {
            frames_.push_back({at, frame->GetMessageType(), frame->GetDeviceAddress()});
        }
        buffer.erase(0, length);
    }
}

TappedLocksim::TappedLocksim(const TempDir& folder, std::vector<std::string> locksimOptions,
                             std::chrono::milliseconds dropAfter) {
    locksimOptions.insert(locksimOptions.end(), {"--locks", TaggedLocks()});
    locksim_ = std::make_unique<TestSupport::Locksim>(folder, locksimOptions);
    if (locksim_->Port() == 0) {
        Fail("locksim did not start");
    }
    relay_ =
        std::make_unique<TcpRelay>(locksim_->Port(), TcpRelay::Options{frames_.Tap(), dropAfter});
}

TappedGateways StartTappedGateways(const TempDir& folder, const std::vector<int>& ids) {
    TappedGateways gateways;
    for (int id : ids) {
        auto locksim = std::make_unique<TappedLocksim>(folder);
        gateways.configured.push_back(
            GatewayJson(id, Format("Bench gateway %d", id), locksim->Port(), kFirstTaggedLock));
        gateways.locksims[id] = std::move(locksim);
    }
    return gateways;
}

FrameMatch MatchFrames(const std::vector<DoorRequest>& requests, const GatewayFrames& frames) {
    FrameMatch match;
    match.frameAt.resize(requests.size());
    match.heldBySpacing.resize(requests.size());
    // By gateway and lock: the indices of the requests, in the order they were sent.
    std::map<std::pair<int, long>, std::vector<size_t>> byLock;
    for (size_t i = 0; i < requests.size(); ++i) {
        byLock[{requests[i].gateway, requests[i].lockId}].push_back(i);
    }
    for (const auto& [gateway, received] : frames) {
        for (size_t f = 0; f < received.size(); ++f) {
            const FrameLog::Frame& frame = received[f];
            if (frame.type != Quarn::Messages::QUARN_MESSAGE_OPEN_LOCK) {
                continue;
            }
            ++match.frames;
            const std::vector<size_t>& candidates =
                byLock[{gateway, static_cast<long>(frame.device)}];
            auto after = std::upper_bound(
                candidates.begin(), candidates.end(), frame.at,
                [&](Clock::time_point at, size_t i) { return at < requests[i].sent; });
            if (after == candidates.begin()) {
                ++match.unmatched;
                continue;
            }
            const size_t request = *std::prev(after);
            match.frameAt[request] = match.frameAt[request].value_or(frame.at);
            const Clock::time_point sent = requests[request].sent;
            match.heldBySpacing[request] = f > 0 && received[f - 1].at > sent - kGatewaySpacing &&
                                           frame.at - sent <= kGatewaySpacing + kSpacingSlack;
        }
    }
    return match;
}

DeadlineCheck CheckDeadlines(const std::vector<DoorRequest>& requests, const FrameMatch& match,
                             Clock::duration timeout) {
    DeadlineCheck check;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!match.frameAt[i]) {
            continue;
        }
        const double pastDeadlineMs =
            Milliseconds(*match.frameAt[i] - (requests[i].sent + timeout));
        check.latestMs = std::max(check.latestMs, pastDeadlineMs);
        if (pastDeadlineMs > Milliseconds(kDeadlineSlack)) {
            ++check.late;
        }
    }
    return check;
}

}  // namespace Bench
