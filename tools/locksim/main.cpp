// locksim: a lock gateway simulator. Listens for the multiplexer's connection, answers
// its frames like a gateway with a set of locks, and sends reader events on command
// (lines on standard input). Every line it prints starts with "locksim " and is flushed
// at once, so that programs driving it can read them as they come.

#include <argh.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/HexBytes.h"
#include "messages/QuarnFrameCutter.h"
#include "messages/QuarnMessageTypes.h"
#include "tools/locksim/LockSimulator.h"

namespace {

using LockSim::Bytes;
using Clock = std::chrono::steady_clock;
namespace Q = Quarn::Messages;

constexpr int kDefaultPort = 2101;
constexpr uint32_t kDefaultLock = 4711;
constexpr uint32_t kDefaultSequence = 1000;
constexpr const char* kDefaultStatus = "0F004000000000";
constexpr size_t kDefaultWhitelistSize = 8;
constexpr size_t kStatusSize = 7;

void Say(const std::string& line) {
    std::cout << "locksim " << line << std::endl;
}

void PrintUsage() {
    std::cout
        << "Usage: locksim [options]\n"
           "A lock gateway simulator: answers a lock multiplexer's frames like a gateway with\n"
           "a set of locks, and sends reader events typed on standard input.\n"
           "\n"
           "Options:\n"
           "  --port N            listening port (default 2101; 0: any free port)\n"
           "  --address A         listening address (default 127.0.0.1)\n"
           "  --locks L1,L2,...   device addresses of the locks (default 4711)\n"
           "  --sequence N        the gateway's sequence counter at start (default 1000)\n"
           "  --status HEX        the 7 status bytes of every lock (default 0F004000000000)\n"
           "  --whitelist-size N  whitelist entries per lock (default 8)\n"
           "  --delay MS          wait this long before each answer (default 0)\n"
           "  --no-answer         print received frames but never answer\n"
           "  --close-after N     close a connection after its Nth frame (answered first)\n"
           "  --help              this text\n"
           "\n"
           "Commands on standard input, one per line:\n"
           "  card LOCK HEX       card-reader event 0x0E with the card bytes (card 4711 04A10B)\n"
           "  card2 LOCK HEX      card-reader event 0x0F\n"
           "  pin LOCK HEX        PIN event 0x16 with the PIN bytes\n"
           "  event TYPE LOCK     an event frame of any type without payload (event 0x11 4711)\n"
           "  status LOCK HEX     set the 7 status bytes of one lock\n"
           "  answer on|off       answer frames or not\n"
           "  sequence N          set the sequence counter\n"
           "  raw HEX             send these bytes as they are\n"
           "  close               close every connection\n"
           "  quit                end\n"
           "\n"
           "Output lines (each flushed at once):\n"
           "  locksim listening on ADDRESS:PORT\n"
           "  locksim connected PEER | locksim disconnected PEER\n"
           "  locksim received seq=N ref=N device=N type=0xTT NAME payload=HEX crc=ok|bad\n"
           "  locksim answered ref=N code=N [sequence=N] | locksim answered ref=N status=HEX\n"
           "  locksim sent TEXT | locksim discarded N bytes | locksim error TEXT\n"
        << std::flush;
}

struct Options {
    std::string address = "127.0.0.1";
    int port = kDefaultPort;
    std::vector<uint32_t> locks{kDefaultLock};
    uint32_t sequence = kDefaultSequence;
    Bytes status;
    size_t whitelistSize = kDefaultWhitelistSize;
    int delayMs = 0;
    bool answer = true;
    int closeAfter = 0;
};

bool ParseLocks(const std::string& text, std::vector<uint32_t>& locks) {
    locks.clear();
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        try {
            locks.push_back(static_cast<uint32_t>(std::stoul(item, nullptr, 0)));
        } catch (const std::exception&) {
            return false;
        }
    }
    return !locks.empty();
}

// False with a message on standard error for an unusable value.
bool ParseOptions(int argc, char** argv, Options& options, bool& help) {
    argh::parser parser;
    parser.add_params({"--port", "--address", "--locks", "--sequence", "--status",
                       "--whitelist-size", "--delay", "--close-after"});
    parser.parse(argc, argv);
    help = parser[{"help", "h"}];
    options.answer = !parser["no-answer"];
    std::string status = kDefaultStatus;
    std::string locks;
    parser("address", options.address) >> options.address;
    parser("status", kDefaultStatus) >> status;
    bool good = static_cast<bool>(parser("port", kDefaultPort) >> options.port) &&
                static_cast<bool>(parser("sequence", kDefaultSequence) >> options.sequence) &&
                static_cast<bool>(parser("whitelist-size", kDefaultWhitelistSize) >>
                                  options.whitelistSize) &&
                static_cast<bool>(parser("delay", 0) >> options.delayMs) &&
                static_cast<bool>(parser("close-after", 0) >> options.closeAfter);
    if (parser("locks") >> locks) {
        good = good && ParseLocks(locks, options.locks);
    }
    auto statusBytes = LockSim::ParseHex(status);
    good = good && statusBytes && statusBytes->size() == kStatusSize && options.port >= 0 &&
           options.port <= 65535 && options.delayMs >= 0 && options.closeAfter >= 0;
    if (!good) {
        std::cerr << "locksim: invalid option value (see --help)" << std::endl;
        return false;
    }
    options.status = *statusBytes;
    return true;
}

struct Connection {
    int id;  // never reused, unlike descriptors
    int fd;
    std::string peer;
    Q::QuarnFrameCutter cutter;
    int frames = 0;
};

// A delayed answer, or the close after the last one.
struct Action {
    int connection;
    Bytes bytes;
    std::string line;
    bool close = false;
};

class Server {
public:
    Server(const Options& options)
        : options_(options),
          simulator_(options.sequence, options.locks, options.status, options.whitelistSize),
          answering_(options.answer) {}

    bool Listen();
    int Run();

private:
    void Accept();
    void ReadCommands();
    void HandleCommand(const std::string& line);
    void ReadFrom(Connection& connection);
    void CutFrames(Connection& connection);
    void Schedule(Action action);
    void RunDueActions();
    void SendToAll(const Bytes& bytes, const std::string& line);
    void Close(int id);
    Connection* Find(int id);

    Options options_;
    LockSim::LockSimulator simulator_;
    bool answering_;
    bool running_ = true;
    int listening_ = -1;
    int nextConnectionId_ = 1;
    bool inputOpen_ = true;
    std::string input_;
    std::vector<Connection> connections_;
    std::multimap<Clock::time_point, Action> actions_;
};

bool Server::Listen() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(options_.address.c_str(), std::to_string(options_.port).c_str(), &hints,
                    &found) != 0) {
        std::cerr << "locksim: cannot resolve " << options_.address << std::endl;
        return false;
    }
    listening_ = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    int reuse = 1;
    setsockopt(listening_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    bool bound = listening_ != -1 && ::bind(listening_, found->ai_addr, found->ai_addrlen) == 0 &&
                 ::listen(listening_, 8) == 0;
    freeaddrinfo(found);
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (!bound || getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("locksim: cannot listen");
        return false;
    }
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port, sizeof port,
                NI_NUMERICHOST | NI_NUMERICSERV);
    Say(std::string("listening on ") + host + ":" + port);
    return true;
}

int Server::Run() {
    while (running_) {
        int timeout = -1;
        if (!actions_.empty()) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                actions_.begin()->first - Clock::now());
            timeout = static_cast<int>(std::max<int64_t>(0, wait.count() + 1));
        }
        std::vector<pollfd> waiting;
        waiting.push_back({listening_, POLLIN, 0});
        waiting.push_back({inputOpen_ ? STDIN_FILENO : -1, POLLIN, 0});
        for (const Connection& connection : connections_) {
            waiting.push_back({connection.fd, POLLIN, 0});
        }
        if (::poll(waiting.data(), waiting.size(), timeout) < 0 && errno != EINTR) {
            std::perror("locksim: poll");
            return 1;
        }
        if (waiting[0].revents != 0) {
            Accept();
        }
        if (waiting[1].revents != 0) {
            ReadCommands();
        }
        std::vector<int> readable;
        for (size_t i = 2; i < waiting.size(); ++i) {
            if (waiting[i].revents != 0) {
                readable.push_back(connections_[i - 2].id);
            }
        }
        for (int id : readable) {
            if (Connection* connection = Find(id)) {
                ReadFrom(*connection);
            }
        }
        RunDueActions();
    }
    return 0;
}

void Server::Accept() {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd = ::accept4(listening_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (fd == -1) {
        return;
    }
    int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port, sizeof port,
                NI_NUMERICHOST | NI_NUMERICSERV);
    connections_.push_back({nextConnectionId_++, fd, std::string(host) + ":" + port, {}, 0});
    Say("connected " + connections_.back().peer);
}

void Server::ReadCommands() {
    char chunk[1024];
    ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (count <= 0) {
        inputOpen_ = false;  // no more commands; go on serving
        return;
    }
    input_.append(chunk, static_cast<size_t>(count));
    for (size_t end = input_.find('\n'); end != std::string::npos; end = input_.find('\n')) {
        std::string line = input_.substr(0, end);
        input_.erase(0, end + 1);
        HandleCommand(line);
    }
}

void Server::HandleCommand(const std::string& line) {
    std::istringstream words(line);
    std::string command;
    if (!(words >> command)) {
        return;
    }
    std::string first;
    std::string rest;
    words >> first;
    std::getline(words, rest);
    try {
        if (command == "card" || command == "card2" || command == "pin") {
            uint8_t type = command == "card"    ? Q::QUARN_MESSAGE_CARD_READER_EVENT
                           : command == "card2" ? Q::QUARN_MESSAGE_CARD_READER_EVENT_2
                                                : Q::QUARN_MESSAGE_PINCODE_EVENT;
            uint32_t device = static_cast<uint32_t>(std::stoul(first, nullptr, 0));
            auto data = LockSim::ParseHex(rest);
            Bytes frame = data ? simulator_.BuildEvent(type, device, *data) : Bytes{};
            if (frame.empty()) {
                Say("error bad data: " + line);
                return;
            }
            SendToAll(frame, "sent event type=" + LockSim::TypeCode(type) +
                                 " device=" + std::to_string(device) + " data=" +
                                 Diagnostics::HexBytes(*data, Diagnostics::HexStyle::UpperPacked));
        } else if (command == "event") {
            uint8_t type = static_cast<uint8_t>(std::stoul(first, nullptr, 0));
            uint32_t device = static_cast<uint32_t>(std::stoul(rest, nullptr, 0));
            SendToAll(simulator_.BuildEvent(type, device, {}),
                      "sent event type=" + LockSim::TypeCode(type) +
                          " device=" + std::to_string(device) + " data=");
        } else if (command == "status") {
            auto status = LockSim::ParseHex(rest);
            uint32_t device = static_cast<uint32_t>(std::stoul(first, nullptr, 0));
            if (!status || status->size() != kStatusSize ||
                !simulator_.SetStatus(device, *status)) {
                Say("error bad lock or status: " + line);
                return;
            }
            Say("status " + std::to_string(device) + " " +
                Diagnostics::HexBytes(*status, Diagnostics::HexStyle::UpperPacked));
        } else if (command == "answer" && (first == "on" || first == "off")) {
            answering_ = first == "on";
            Say("answer " + first);
        } else if (command == "sequence") {
            simulator_.SetSequenceCounter(static_cast<uint32_t>(std::stoul(first, nullptr, 0)));
            Say("sequence " + std::to_string(simulator_.GetSequenceCounter()));
        } else if (command == "raw") {
            auto bytes = LockSim::ParseHex(first + rest);
            if (!bytes || bytes->empty()) {
                Say("error bad data: " + line);
                return;
            }
            SendToAll(*bytes, "sent raw " + std::to_string(bytes->size()) + " bytes");
        } else if (command == "close") {
            while (!connections_.empty()) {
                Close(connections_.front().id);
            }
        } else if (command == "quit") {
            running_ = false;
        } else {
            Say("error unknown command: " + line);
        }
    } catch (const std::exception&) {
        Say("error bad number: " + line);
    }
}

void Server::ReadFrom(Connection& connection) {
    Bytes chunk(1024);
    ssize_t count = ::recv(connection.fd, chunk.data(), chunk.size(), 0);
    if (count <= 0) {
        Close(connection.id);
        return;
    }
    chunk.resize(static_cast<size_t>(count));
    connection.cutter.Append(chunk);
    CutFrames(connection);
}

void Server::CutFrames(Connection& connection) {
    const int id = connection.id;
    for (;;) {
        // Frames with a wrong CRC are taken too: they are reported as such, not answered.
        Q::QuarnFrameCutter::Cut cut = connection.cutter.Next(false);
        if (cut.discardedBytes > 0) {
            Say("discarded " + std::to_string(cut.discardedBytes) + " bytes");
        }
        if (cut.frame.empty()) {
            return;
        }
        LockSim::FrameOutcome outcome = simulator_.HandleFrame(cut.frame);
        Say("received " + outcome.received);
        const auto due = Clock::now() + std::chrono::milliseconds(options_.delayMs);
        if (answering_ && outcome.answer) {
            actions_.emplace(due, Action{id, *outcome.answer, "answered " + outcome.answered});
        }
        if (options_.closeAfter > 0 && ++connection.frames == options_.closeAfter) {
            actions_.emplace(due, Action{id, {}, "", true});
        }
    }
}

void Server::RunDueActions() {
    while (!actions_.empty() && actions_.begin()->first <= Clock::now()) {
        Action action = std::move(actions_.begin()->second);
        actions_.erase(actions_.begin());
        Connection* connection = Find(action.connection);
        if (connection == nullptr) {
            continue;  // its connection has gone
        }
        if (action.close) {
            Close(action.connection);
            continue;
        }
        if (::send(connection->fd, action.bytes.data(), action.bytes.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(action.bytes.size())) {
            Say(action.line);
        }
    }
}

void Server::SendToAll(const Bytes& bytes, const std::string& line) {
    if (connections_.empty()) {
        Say("error no connection");
        return;
    }
    for (const Connection& connection : connections_) {
        ::send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    Say(line);
}

void Server::Close(int id) {
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if (it->id == id) {
            Say("disconnected " + it->peer);
            ::close(it->fd);
            connections_.erase(it);
            return;
        }
    }
}

Connection* Server::Find(int id) {
    for (Connection& connection : connections_) {
        if (connection.id == id) {
            return &connection;
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!ParseOptions(argc, argv, options, help)) {
        return 2;
    }
    if (help) {
        PrintUsage();
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    Server server(options);
    if (!server.Listen()) {
        return 1;
    }
    return server.Run();
}
