#include "tests/gateway/GatewayHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

#include "messages/CRC16.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponsePayload.h"

namespace TestSupport {

namespace Q = Quarn::Messages;

Bytes Reply(uint8_t referenceId, uint8_t code, uint32_t counter) {
    Q::QuarnMessageBuilder builder(0, 1);
    auto message = builder.BuildBaseMessage(
        4711, Q::QUARN_MESSAGE_RESPONSE, std::make_unique<Q::QuarnResponsePayload>(code, counter));
    message->SetReferenceId(referenceId);
    message->SetReply(true);
    return message->Serialize();
}

Bytes ReaderEvent(uint32_t deviceAddress, Bytes data, uint8_t type) {
    Q::QuarnReaderEvent event;
    event.data = std::move(data);
    std::unique_ptr<Q::QuarnMessagePayload> payload;
    if (type == Q::QUARN_MESSAGE_PINCODE_EVENT) {
        payload = std::make_unique<Q::QuarnPincodeMessagePayload>(std::move(event));
    } else {
        payload = std::make_unique<Q::QuarnCardReaderMessagePayload>(std::move(event));
    }
    return Q::QuarnMessageBuilder(0, 1)
        .BuildBaseMessage(deviceAddress, type, std::move(payload))
        ->Serialize();
}

Bytes Sealed(Bytes frame) {
    const size_t covered = frame.size() - Q::QUARN_FRAME_CRC_SIZE;
    const uint16_t crc = Quarn::CRC::CRC16::XModem(Bytes(frame.begin(), frame.begin() + covered));
    frame[covered] = static_cast<unsigned char>(crc >> 8);
    frame[covered + 1] = static_cast<unsigned char>(crc & 0xFF);
    return frame;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

std::vector<std::string> ReceivedLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream text(output);
    const std::string prefix = "locksim received ";
    for (std::string line; std::getline(text, line);) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

std::string Field(const std::string& line, const std::string& key) {
    size_t at = line.find(key + "=");
    if (at == std::string::npos) {
        return "";
    }
    at += key.size() + 1;
    return line.substr(at, line.find(' ', at) - at);
}

HangingListener::HangingListener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    descriptors_.push_back(listening);
    if (::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening, 0) != 0 ||
        ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    // Connects until one stays unanswered: then the queue is full.
    for (int i = 0; i < 16; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        descriptors_.push_back(fd);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd writable{fd, POLLOUT, 0};
        if (::poll(&writable, 1, 200) == 0) {
            return;
        }
    }
    throw std::runtime_error("the accept queue does not fill");
}

HangingListener::~HangingListener() {
    for (int fd : descriptors_) {
        ::close(fd);
    }
}

Quarn::GatewayLink::Callbacks GatewayRecorder::Callbacks() {
    return {[this](Quarn::GatewayLink&, Quarn::VirtualGatewayStatuses,
                   Quarn::VirtualGatewayStatuses now) {
                std::lock_guard<std::mutex> lock(mutex_);
                states_.push_back(now);
            },
            [this](Quarn::GatewayLink&, std::unique_ptr<Response> response) {
                std::lock_guard<std::mutex> lock(mutex_);
                responses_.push_back({std::move(response), Clock::now()});
            },
            [this](Quarn::GatewayLink&, std::unique_ptr<Event> event) {
                std::lock_guard<std::mutex> lock(mutex_);
                events_.push_back(*event);
            }};
}

const GatewayRecorder::Arrival* GatewayRecorder::Find(const std::string& requestId) {
    for (const Arrival& arrival : responses_) {
        if (arrival.response->GetRequestId() == requestId) {
            return &arrival;
        }
    }
    return nullptr;
}

const GatewayRecorder::Response* GatewayRecorder::WaitForResponse(
    const std::string& requestId, std::chrono::milliseconds deadline) {
    const Response* found = nullptr;
    WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            const Arrival* arrival = Find(requestId);
            found = arrival != nullptr ? arrival->response.get() : nullptr;
            return found != nullptr;
        },
        deadline);
    return found;
}

GatewayRecorder::Clock::time_point GatewayRecorder::ResponseTime(const std::string& requestId) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Arrival* arrival = Find(requestId);
    return arrival != nullptr ? arrival->at : Clock::time_point::max();
}

size_t GatewayRecorder::ResponseCount(const std::string& requestIdPrefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const Arrival& arrival : responses_) {
        count += arrival.response->GetRequestId().rfind(requestIdPrefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

std::vector<GatewayRecorder::Event> GatewayRecorder::Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Quarn::VirtualGatewayStatuses> GatewayRecorder::States() {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
}

bool GatewayRecorder::WaitForStatus(Quarn::VirtualGatewayStatuses status) {
    return WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return !states_.empty() && states_.back() == status;
    });
}

std::shared_ptr<Quarn::GatewayLink> MakeLink(const std::string& host, int port,
                                             Quarn::VirtualGatewayTimings timings,
                                             Quarn::GatewayLink::Callbacks callbacks) {
    Quarn::GatewaySettings settings;
    settings.id = 1;
    settings.ipAddress = host;
    settings.port = port;
    settings.timings = timings;
    return std::make_shared<Quarn::GatewayLink>(std::move(settings), std::move(callbacks));
}

Quarn::GatewayCommand Command(Quarn::CommandKind kind, std::string requestId) {
    Quarn::GatewayCommand command;
    command.kind = kind;
    command.requestId = std::move(requestId);
    command.deviceAddress = 4711;
    command.seconds = 1;
    command.client = 1;
    return command;
}

}  // namespace TestSupport
