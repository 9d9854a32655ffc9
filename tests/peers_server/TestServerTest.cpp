// The reference server, started as a process on a free loopback port and spoken to with raw
// packets, so that its side of the protocol is checked independently of the console's link.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kPacket = 534;
constexpr std::size_t kHeader = 26;
constexpr std::size_t kArea = 508;

struct Header {
    std::uint32_t param = 0, data_length = 0, connection_id = 0;
    std::uint16_t code = 0, serial = 0, value = 0, packet_count = 0, packet_index = 0,
                  reply_code = 0, param2 = 0;
};

void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, static_cast<std::uint16_t>(v));
    Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t Get32(const std::uint8_t* p) {
    return Get16(p) | static_cast<std::uint32_t>(Get16(p + 2)) << 16;
}

Header Decode(const std::uint8_t* p) {
    Header h;
    h.param = Get32(p);
    h.data_length = Get32(p + 4);
    h.connection_id = Get32(p + 8);
    h.code = Get16(p + 12);
    h.serial = Get16(p + 14);
    h.value = Get16(p + 16);
    h.packet_count = Get16(p + 18);
    h.packet_index = Get16(p + 20);
    h.reply_code = Get16(p + 22);
    h.param2 = Get16(p + 24);
    return h;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[3];
    for (const char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(static_cast<std::uint8_t>(c)));
        out += buf;
    }
    return out;
}

// A short string: length byte and bytes.
std::string Short(const std::string& s) {
    return std::string(1, static_cast<char>(s.size())) + s;
}

std::string Scramble(const std::string& pw) {
    unsigned sum = 0;
    for (const char c : pw)
        sum += static_cast<std::uint8_t>(c);
    std::string out = pw;
    for (char& c : out)
        c = static_cast<char>(static_cast<std::uint8_t>(c) ^ (sum & 0xFF));
    return out;
}

struct Reply {
    Header header;
    std::string data;
    int packets = 0;
};

// One raw client connection.
class Client {
public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Reads the registration packet; returns the number of bytes the server sent before the
    // packet was complete (534) or the connection ended.
    std::size_t Register() {
        std::size_t got = ReadUpTo(registration_, kPacket);
        if (got >= kHeader)
            id_ = Decode(registration_).param;
        return got;
    }
    const std::uint8_t* RegistrationPacket() const { return registration_; }
    std::uint32_t Id() const { return id_; }

    void Send(std::uint16_t code, std::uint16_t value = 0, std::uint32_t param = 0,
              const std::string& data = {}, std::uint16_t reply_code = 0,
              std::optional<std::uint32_t> connection_id = std::nullopt) {
        const std::size_t count = data.empty() ? 1 : (data.size() - 1) / kArea + 1;
        ++serial_;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t p[kPacket] = {};
            Put32(p, param);
            Put32(p + 4, static_cast<std::uint32_t>(data.size()));
            Put32(p + 8, connection_id.value_or(id_));
            Put16(p + 12, code);
            Put16(p + 14, serial_);
            Put16(p + 16, value);
            Put16(p + 18, static_cast<std::uint16_t>(count));
            Put16(p + 20, static_cast<std::uint16_t>(i));
            Put16(p + 22, reply_code);
            const std::size_t off = i * kArea;
            if (off < data.size())
                std::memcpy(p + kHeader, data.data() + off, std::min(kArea, data.size() - off));
            ASSERT_EQ(::send(fd_, p, kPacket, MSG_NOSIGNAL), static_cast<ssize_t>(kPacket));
        }
    }

    // Reads one whole reply; nullopt when the connection ends first.
    std::optional<Reply> Receive() {
        Reply r;
        std::uint8_t p[kPacket];
        int remaining = 1;
        for (bool first = true; remaining > 0; first = false, --remaining) {
            if (ReadUpTo(p, kPacket) != kPacket)
                return std::nullopt;
            const Header h = Decode(p);
            if (first) {
                r.header = h;
                r.data.assign(h.data_length, '\0');
                remaining = h.packet_count;
            }
            const std::size_t off = std::size_t{h.packet_index} * kArea;
            if (off < r.data.size())
                std::memcpy(r.data.data() + off, p + kHeader, std::min(kArea, r.data.size() - off));
            ++r.packets;
        }
        return r;
    }

    std::optional<Reply> Exchange(std::uint16_t code, std::uint16_t value = 0,
                                  std::uint32_t param = 0, const std::string& data = {},
                                  std::uint16_t reply_code = 0) {
        Send(code, value, param, data, reply_code);
        return Receive();
    }

    bool Handshake(const std::string& password, std::uint16_t* login_value = nullptr) {
        auto sec = Exchange(20, static_cast<std::uint16_t>((id_ & 0xFFFF) ^ 0x5A3C));
        if (!sec || sec->header.reply_code != 0)
            return false;
        auto login = Exchange(18, 0, 0, Short("ADMINISTRATOR") + Short(Scramble(password)));
        if (!login)
            return false;
        if (login_value)
            *login_value = login->header.value;
        return (login->header.value & 0xFF) != 0;
    }

    // Reads until `n` bytes or the end of the stream; returns the count read.
    std::size_t ReadUpTo(std::uint8_t* buf, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::recv(fd_, buf + got, n - got, 0);
            if (r <= 0)
                break;
            got += static_cast<std::size_t>(r);
        }
        return got;
    }

    // Everything the server still sends until it closes the connection.
    std::size_t DrainUntilClosed() {
        std::size_t total = 0;
        std::uint8_t buf[4096];
        for (;;) {
            const ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
            if (r <= 0)
                return r == 0 ? total : static_cast<std::size_t>(-1);
            total += static_cast<std::size_t>(r);
        }
    }

    void SendRaw(const std::uint8_t* bytes, std::size_t n) {
        ASSERT_EQ(::send(fd_, bytes, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
    }

private:
    int fd_ = -1;
    std::uint8_t registration_[kPacket] = {};
    std::uint32_t id_ = 0;
    std::uint16_t serial_ = 0;
};

// The server process with a fixture written to a temporary file.
class Server {
public:
    explicit Server(const std::string& fixture_json, const char* max_clients = "256",
                    const char* idle_timeout = "30") {
        char dir_template[] = "/tmp/zts-test-XXXXXX";
        dir_ = ::mkdtemp(dir_template);
        fixture_ = dir_ + "/fixture.json";
        log_ = dir_ + "/requests.log";
        std::ofstream(fixture_) << fixture_json;
        int out[2];
        int err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::close(out[0]);
            ::close(err[0]);
            ::execl(TESTSERVER_PATH, TESTSERVER_PATH, "--fixture", fixture_.c_str(), "--port", "0",
                    "--log", log_.c_str(), "--max-clients", max_clients, "--idle-timeout",
                    idle_timeout, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = ::fdopen(out[0], "r");
        err_fd_ = err[0];
        char line[256] = {};
        if (std::fgets(line, sizeof line, out_))
            first_line_ = line;
        unsigned a = 0, b = 0, c = 0, d = 0;
        int p = 0;
        if (std::sscanf(line, "listening on %u.%u.%u.%u:%d", &a, &b, &c, &d, &p) == 5)
            port_ = p;
    }

    ~Server() {
        Stop();
        if (out_)
            std::fclose(out_);
        if (err_fd_ >= 0)
            ::close(err_fd_);
        std::remove(fixture_.c_str());
        std::remove(log_.c_str());
        ::rmdir(dir_.c_str());
    }

    // Stops the server with SIGTERM; returns its exit status (-1 when it did not exit normally).
    int Stop() {
        if (pid_ <= 0)
            return exit_status_;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exit_status_;
    }

    // Everything the server wrote to standard error; stops it first, so that the read ends.
    std::string Stderr() {
        Stop();
        std::string all;
        char buf[512];
        ssize_t n;
        while ((n = ::read(err_fd_, buf, sizeof buf)) > 0)
            all.append(buf, static_cast<std::size_t>(n));
        return all;
    }

    std::vector<std::string> LogLines() const {
        std::ifstream in(log_);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }

    int Port() const { return port_; }
    const std::string& FirstLine() const { return first_line_; }

private:
    std::string dir_, fixture_, log_, first_line_;
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    int err_fd_ = -1;
    int port_ = 0;
    int exit_status_ = -1;
};

// The small installation most tests use.
const char* const kFixture = R"({
  "administrator_password": "secret",
  "center_name": "کتابخانه مرکزي",
  "center_text": "Central Library",
  "server_name": "ZEPH1",
  "security": {"flag": 1, "kind": 2, "byte": 171, "word": 4660},
  "server_tag": 7,
  "login_tag": 9,
  "first_connection_id": 305419896,
  "database_list": {"stamp": 4, "databases": [
    {"handle": 513, "number": 5, "flags": 1, "text": "T5", "name": "BOOKS"},
    {"handle": 514, "number": 7, "flags": 0, "text": "", "name": "ARTICLES"}]},
  "local_connections": [
    {"user_name": "ALI", "security_num": 1001, "status": 1, "requests_count": 70000,
     "async_requests": 3, "connect_time": "2004-05-17 14:03:22",
     "last_request_time": [104, 4, 0, 0, 0, 0], "capture_flags": 1, "captured_db_id": 5,
     "captured_text_bank_id": 0,
     "results": [{"kind": 5, "db_handle": 513, "lifetime": 32768},
                 {"kind": 13, "db_handle": 514, "lifetime": 16384}]},
    {"user_name": "SARA", "security_num": 1002}],
  "web_connections": [
    {"user_name": "WEB1", "user_id": 77, "last_access_time": "2004-05-17 14:03:22"},
    {"user_name": "WEB1", "user_id": 78}],
  "database_view": [
    {"id": 5, "path": "D:\\DB\\BOOKS", "open": true, "parent": true, "child_ids": [7, 9],
     "results": [{"kind": 5, "user_name": "ALI"}]},
    {"id": 7, "path": "D:\\DB\\ART", "open": false}],
  "status": {"non_queued_db_requests": 30000000, "queued_db_requests": 10000000},
  "error_log": {"lines": ["first line", "second line"], "line_end": "lf"}
})";

// The small installation with more top-level keys.
std::string WithKeys(const std::string& keys) {
    std::string f = kFixture;
    f.insert(1, "\n  " + keys + ",");
    return f;
}
std::string WithBehaviour(const std::string& behaviour) {
    return WithKeys("\"behaviour\": " + behaviour);
}

class TestServerTest : public ::testing::Test {
protected:
    void Start(const std::string& fixture = kFixture, const char* max_clients = "256",
               const char* idle_timeout = "30") {
        server_ = std::make_unique<Server>(fixture, max_clients, idle_timeout);
        ASSERT_GT(server_->Port(), 0) << server_->FirstLine() << server_->Stderr();
    }
    // A client that is registered and logged in.
    std::unique_ptr<Client> Admin() {
        auto c = std::make_unique<Client>(server_->Port());
        EXPECT_EQ(c->Register(), kPacket);
        EXPECT_TRUE(c->Handshake("secret"));
        return c;
    }
    void TearDown() override {
        if (server_) {
            EXPECT_EQ(server_->Stop(), 0) << "the server did not end cleanly on SIGTERM";
        }
    }
    std::unique_ptr<Server> server_;
};

TEST_F(TestServerTest, RegistersEachConnectionWithItsOwnId) {
    Start();
    EXPECT_EQ(server_->FirstLine(),
              "listening on 127.0.0.1:" + std::to_string(server_->Port()) + "\n");
    Client a(server_->Port()), b(server_->Port()), c(server_->Port());
    ASSERT_EQ(a.Register(), kPacket);
    ASSERT_EQ(b.Register(), kPacket);
    ASSERT_EQ(c.Register(), kPacket);
    const Header h = Decode(a.RegistrationPacket());
    EXPECT_NE(h.reply_code, 0);
    EXPECT_EQ(h.value & 0xFF, 7);
    EXPECT_EQ(h.param, 305419896u);
    EXPECT_NE(a.Id(), b.Id());
    EXPECT_NE(b.Id(), c.Id());
    EXPECT_NE(a.Id(), c.Id());
}

TEST_F(TestServerTest, ClientsBeyondTheLimitAreClosedWithoutRegistration) {
    Start(kFixture, "2");
    Client a(server_->Port()), b(server_->Port());
    ASSERT_EQ(a.Register(), kPacket);
    ASSERT_EQ(b.Register(), kPacket);
    Client refused(server_->Port());
    EXPECT_EQ(refused.Register(), 0u);
    // The two admitted clients are still served.
    EXPECT_TRUE(a.Handshake("secret"));
    EXPECT_TRUE(b.Handshake("secret"));
}

TEST_F(TestServerTest, IdleClientsAreClosedSoThatNewOnesAreServed) {
    // Four places: a logged-in administrator who then says nothing, and three clients that only
    // hold a place. Each of the three is idle in its own way.
    Start(kFixture, "4", "1");
    auto admin = Admin();
    Client silent(server_->Port()), half_packet(server_->Port()), half_request(server_->Port());
    ASSERT_EQ(silent.Register(), kPacket);
    ASSERT_EQ(half_packet.Register(), kPacket);
    ASSERT_EQ(half_request.Register(), kPacket);
    std::uint8_t start[100] = {};
    half_packet.SendRaw(start, sizeof start);
    std::uint8_t first[kPacket] = {};
    Put32(first + 4, 1200); // three packets announced, one sent
    Put32(first + 8, half_request.Id());
    Put16(first + 12, 20);
    Put16(first + 18, 3);
    half_request.SendRaw(first, kPacket);

    Client refused(server_->Port());
    EXPECT_EQ(refused.Register(), 0u) << "every place is taken";

    // The server closes the three idle ones (the clients wait up to 10 s for it)...
    EXPECT_EQ(silent.DrainUntilClosed(), 0u);
    EXPECT_EQ(half_packet.DrainUntilClosed(), 0u);
    EXPECT_EQ(half_request.DrainUntilClosed(), 0u);
    // ... and serves a new client in their place.
    Client fresh(server_->Port());
    ASSERT_EQ(fresh.Register(), kPacket);
    EXPECT_TRUE(fresh.Handshake("secret"));
    // The administrator, silent for longer than any of them, is still served.
    auto r = admin->Exchange(368, 0, 0, {}, 4);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.value, 2);

    const std::string err = server_->Stderr();
    for (const std::string& line :
         {"connection " + std::to_string(silent.Id()) + ": no request for 1 s; closing it",
          "connection " + std::to_string(half_packet.Id()) +
              ": a packet left unfinished for 1 s; closing it",
          "connection " + std::to_string(half_request.Id()) +
              ": request 20 left unfinished for 1 s; closing it"})
        EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
}

TEST_F(TestServerTest, ASlowClientIsNotIdleWhileWholePacketsKeepComing) {
    // Five packets, each well within the time-out of the one before, the whole request taking
    // longer than the time-out.
    Start(kFixture, "256", "2");
    auto c = Admin();
    const std::string data(2500, 'x');
    std::uint8_t p[kPacket] = {};
    for (std::uint16_t i = 0; i < 5; ++i) {
        std::memset(p, 0, sizeof p);
        Put32(p + 4, static_cast<std::uint32_t>(data.size()));
        Put32(p + 8, c->Id());
        Put16(p + 12, 999);
        Put16(p + 14, 40);
        Put16(p + 18, 5);
        Put16(p + 20, i);
        c->SendRaw(p, kPacket);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }
    auto r = c->Receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.code, 999);
    EXPECT_EQ(r->header.value, 7) << "the unknown request is answered, not cut off";
}

TEST_F(TestServerTest, ADelayedReplyHoldsUpNoOtherClientAndEndsWithTheServer) {
    Start(WithBehaviour(R"({"delays_ms": {"373": 600000}})"));
    auto slow = Admin();
    slow->Send(373, 0, 0, {}, 4);
    auto other = Admin();
    auto r = other->Exchange(368, 0, 0, {}, 4);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.value, 2);
    // SIGTERM (in TearDown) ends the wait at once and the server exits cleanly.
}

TEST_F(TestServerTest, SecurityInformationChecksTheMaskedIdAndSendsTheCentre) {
    Start();
    Client c(server_->Port());
    ASSERT_EQ(c.Register(), kPacket);
    auto wrong = c.Exchange(20, static_cast<std::uint16_t>(c.Id() & 0xFFFF));
    ASSERT_TRUE(wrong);
    EXPECT_NE(wrong->header.reply_code, 0);
    EXPECT_EQ(wrong->header.value, 119);

    auto ok = c.Exchange(20, static_cast<std::uint16_t>((c.Id() & 0xFFFF) ^ 0x5A3C));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->header.reply_code, 0);
    EXPECT_EQ(ok->header.value, 1);
    EXPECT_EQ(ok->header.code, 20);
    EXPECT_EQ(ok->header.connection_id, c.Id());
    // The Farsi centre name in Windows-1256, then the centre text, the server name, kind, byte,
    // word.
    EXPECT_EQ(Hex(ok->data), "0e98cac7c8cec7e4e520e3d198d2ed"
                             "0f" +
                                 Hex("Central Library") + "05" + Hex("ZEPH1") + "02ab3412");
}

TEST_F(TestServerTest, LoginAcceptsOnlyTheAdministratorWithTheScrambledPassword) {
    Start();
    struct Case {
        const char* what;
        std::string payload;
        bool accepted;
    } cases[] = {
        {"right password", Short("ADMINISTRATOR") + Short(Scramble("secret")), true},
        {"plain password", Short("ADMINISTRATOR") + Short("secret"), false},
        {"wrong password", Short("ADMINISTRATOR") + Short(Scramble("secreT")), false},
        {"other user", Short("GUEST") + Short(Scramble("secret")), false},
        {"truncated payload", Short("ADMINISTRATOR") + "\x06", false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Client c(server_->Port());
        ASSERT_EQ(c.Register(), kPacket);
        auto r = c.Exchange(18, 0, 0, k.payload);
        ASSERT_TRUE(r);
        EXPECT_EQ((r->header.value & 0xFF) != 0, k.accepted);
        if (k.accepted) {
            EXPECT_EQ(r->header.value >> 8, 9);
        }
        EXPECT_EQ(r->header.param, 0u);
        // Until a login is accepted, other requests are refused.
        auto list = c.Exchange(1);
        ASSERT_TRUE(list);
        EXPECT_EQ(list->header.reply_code != 0, !k.accepted);
        if (!k.accepted) {
            EXPECT_EQ(list->header.value, 119);
        }
    }
}

TEST_F(TestServerTest, RefusalsOfTheHandshakeCanBeSwitchedOn) {
    struct Case {
        const char* behaviour;
        std::uint16_t code;
        std::uint16_t reply_code, value;
        std::uint32_t param, data_length;
    } cases[] = {
        {R"({"login": {"refuse": true, "busy": 1}})", 18, 0, 0, 1, 0},
        {R"({"login": {"refuse": true}})", 18, 0, 0, 0, 0},
        {R"({"version_refusal": {"major": 2, "minor": 3}})", 20, 1, 162, 0x0203, 0},
        {R"({"empty_security_reply": true})", 20, 0, 0, 0, 0},
        {R"({"server_errors": [{"code": 20, "error": 113}]})", 20, 1, 113, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.behaviour);
        Start(WithBehaviour(k.behaviour));
        Client c(server_->Port());
        ASSERT_EQ(c.Register(), kPacket);
        auto r = k.code == 20
                     ? c.Exchange(20, static_cast<std::uint16_t>((c.Id() & 0xFFFF) ^ 0x5A3C))
                     : c.Exchange(18, 0, 0, Short("ADMINISTRATOR") + Short(Scramble("secret")));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->header.reply_code, k.reply_code);
        EXPECT_EQ(r->header.value, k.value);
        EXPECT_EQ(r->header.param, k.param);
        EXPECT_EQ(r->header.data_length, k.data_length);
        EXPECT_EQ(server_->Stop(), 0);
    }
}

TEST_F(TestServerTest, SingleEntryRefusesASecondAdministratorAsBusy) {
    Start(WithBehaviour(R"({"login": {"single_entry": true}})"));
    auto first = Admin();
    Client second(server_->Port());
    ASSERT_EQ(second.Register(), kPacket);
    std::uint16_t value = 0xFFFF;
    EXPECT_FALSE(second.Handshake("secret", &value));
    EXPECT_EQ(value & 0xFF, 0);
    ASSERT_TRUE(first->Exchange(19));
    Client third(server_->Port());
    ASSERT_EQ(third.Register(), kPacket);
    EXPECT_TRUE(third.Handshake("secret"));
}

TEST_F(TestServerTest, ListRepliesAreLaidOutByteForByte) {
    Start();
    auto c = Admin();
    auto list = c->Exchange(1);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->header.reply_code, 0);
    EXPECT_EQ(list->header.value, 2);
    EXPECT_EQ(list->header.param & 0xFFFF, 4u);
    EXPECT_EQ(Hex(list->data), "0102"
                               "0500"
                               "01"
                               "025435"
                               "05" +
                                   Hex("BOOKS") +
                                   "0202"
                                   "0700"
                                   "00"
                                   "00"
                                   "08" +
                                   Hex("ARTICLES"));

    auto locals = c->Exchange(368, 0, 0, {}, 4);
    ASSERT_TRUE(locals);
    EXPECT_EQ(locals->header.reply_code, 0);
    EXPECT_EQ(locals->header.value, 2);
    const std::string ali = "03" + Hex("ALI") +
                            "e9030000"
                            "01"
                            "70110100"
                            "0300"
                            "0200"
                            "6804110e0316"
                            "680400000000"
                            "0100"
                            "0500"
                            "0000"
                            "05"
                            "0102"
                            "0080"
                            "0d"
                            "0202"
                            "0040";
    const std::string sara = "04" + Hex("SARA") +
                             "ea030000"
                             "00"
                             "00000000"
                             "0000"
                             "0000"
                             "680001000000"
                             "680001000000"
                             "0000"
                             "0000"
                             "0000";
    EXPECT_EQ(Hex(locals->data), ali + sara);

    auto webs = c->Exchange(370, 0, 0, {}, 4);
    ASSERT_TRUE(webs);
    EXPECT_EQ(webs->header.value, 2);
    EXPECT_EQ(Hex(webs->data), "04" + Hex("WEB1") +
                                   "4d000000"
                                   "6804110e0316" +
                                   "04" + Hex("WEB1") +
                                   "4e000000"
                                   "680001000000");

    auto dbs = c->Exchange(372, 0, 0, {}, 4);
    ASSERT_TRUE(dbs);
    EXPECT_EQ(dbs->header.value, 2);
    EXPECT_EQ(Hex(dbs->data), "0500"
                              "0b" +
                                  Hex("D:\\DB\\BOOKS") +
                                  "01"
                                  "01"
                                  "02"
                                  "0700"
                                  "0900"
                                  "0100"
                                  "05"
                                  "03" +
                                  Hex("ALI") +
                                  "0700"
                                  "09" +
                                  Hex("D:\\DB\\ART") +
                                  "00"
                                  "00"
                                  "00"
                                  "0000");

    auto status = c->Exchange(373, 0, 0, {}, 4);
    ASSERT_TRUE(status);
    ASSERT_EQ(status->data.size(), 54u);
    // Given request counters; database, client and result counters worked out from the data.
    EXPECT_EQ(Hex(status->data), "80c3c901"
                                 "80969800"
                                 "00000000"
                                 "00000000"
                                 "0100"
                                 "0000"
                                 "0100"
                                 "0100"
                                 "0200"
                                 "0000"
                                 "0000"
                                 "0000"
                                 "0000"
                                 "0000"
                                 "0100"
                                 "0000"
                                 "0000"
                                 "0000"
                                 "0000"
                                 "0000"
                                 "0000"
                                 "0000"
                                 "0100");
}

TEST_F(TestServerTest, ConsoleRequestsWithAnOldStampAreToldTheListChanged) {
    Start();
    auto c = Admin();
    for (const std::uint16_t code :
         std::initializer_list<std::uint16_t>{368, 370, 372, 373, 374, 375}) {
        SCOPED_TRACE(code);
        auto r = c->Exchange(code, 0, 0, {}, 3);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->header.reply_code, 1);
        EXPECT_EQ(r->header.value, 5);
        EXPECT_EQ(r->header.data_length, 0u);
    }
    // The list request itself carries no stamp.
    auto list = c->Exchange(1, 0, 0, {}, 0);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->header.reply_code, 0);
}

TEST_F(TestServerTest, ListChangedOnceSwitchesToTheNewListAndStamp) {
    Start(WithBehaviour(R"({"list_changed": {"mode": "once", "on_code": 372, "stamp": 9,
        "databases": [{"handle": 600, "number": 11, "name": "NEW"}]}})"));
    auto c = Admin();
    auto before = c->Exchange(368, 0, 0, {}, 4);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->header.reply_code, 0);
    auto changed = c->Exchange(372, 0, 0, {}, 4);
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->header.reply_code, 1);
    EXPECT_EQ(changed->header.value, 5);
    auto list = c->Exchange(1);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->header.param, 9u);
    EXPECT_EQ(list->header.value, 1);
    EXPECT_EQ(Hex(list->data), "5802"
                               "0b00"
                               "00"
                               "00"
                               "03" +
                                   Hex("NEW"));
    auto again = c->Exchange(372, 0, 0, {}, 9);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->header.reply_code, 0);
    EXPECT_EQ(again->header.value, 2);
}

TEST_F(TestServerTest, ListChangedAlwaysAnswersEveryConsoleRequest) {
    Start(WithBehaviour(R"({"list_changed": {"mode": "always"}})"));
    auto c = Admin();
    for (int i = 0; i < 3; ++i) {
        auto r = c->Exchange(368, 0, 0, {}, 4);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->header.value, 5);
        ASSERT_TRUE(c->Exchange(1));
    }
}

TEST_F(TestServerTest, DeletesAndClearingAreSeenByOtherClients) {
    Start();
    auto a = Admin();
    auto b = Admin();
    // The user name must match as well as the number.
    auto mismatch = a->Exchange(369, 0, 1001, Short("SARA"), 4);
    ASSERT_TRUE(mismatch);
    EXPECT_EQ(mismatch->header.reply_code, 1);
    EXPECT_EQ(mismatch->header.value, 91);
    auto del = a->Exchange(369, 0, 1001, Short("ALI"), 4);
    ASSERT_TRUE(del);
    EXPECT_EQ(del->header.reply_code, 0);
    auto locals = b->Exchange(368, 0, 0, {}, 4);
    ASSERT_TRUE(locals);
    EXPECT_EQ(locals->header.value, 1);
    EXPECT_EQ(locals->data.substr(0, 5), Short("SARA"));

    ASSERT_EQ(a->Exchange(371, 0, 77, {}, 4)->header.reply_code, 0);
    auto webs = b->Exchange(370, 0, 0, {}, 4);
    ASSERT_TRUE(webs);
    EXPECT_EQ(webs->header.value, 1);
    EXPECT_EQ(webs->data.substr(5, 4), std::string("\x4e\0\0\0", 4));
    EXPECT_EQ(b->Exchange(371, 0, 77, {}, 4)->header.value, 91);

    auto chunk = b->Exchange(374, 4096, 0, {}, 4);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->data, "first line\nsecond line\n");
    EXPECT_EQ(chunk->header.value, chunk->data.size());
    ASSERT_EQ(a->Exchange(375, 0, 0, {}, 4)->header.reply_code, 0);
    auto empty = b->Exchange(374, 4096, 0, {}, 4);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->header.value, 0);
    EXPECT_EQ(empty->header.data_length, 0u);
}

TEST_F(TestServerTest, ErrorLogIsReadInChunksUpToTheEnd) {
    Start(WithKeys(R"("generate": {"error_log_bytes": 10000})"));
    auto c = Admin();
    std::string log;
    std::uint32_t offset = 0;
    int requests = 0;
    for (;;) {
        auto r = c->Exchange(374, 4096, offset, {}, 4);
        ASSERT_TRUE(r);
        ++requests;
        ASSERT_LE(r->header.value, 4096);
        ASSERT_EQ(r->header.value, r->data.size());
        if (r->header.value == 0)
            break;
        log += r->data;
        offset += r->header.value;
    }
    EXPECT_EQ(log.size(), 10000u);
    EXPECT_EQ(requests, 4);
    auto small = c->Exchange(374, 5, 3, {}, 4);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->data, "st li");
}

TEST_F(TestServerTest, ServerErrorsAreAnsweredOnTheChosenCodeOnly) {
    Start(WithBehaviour(R"({"server_errors": [{"code": 373, "error": 116, "times": 1}]})"));
    auto c = Admin();
    auto first = c->Exchange(373, 0, 0, {}, 4);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->header.reply_code, 1);
    EXPECT_EQ(first->header.value, 116);
    EXPECT_EQ(c->Exchange(372, 0, 0, {}, 4)->header.reply_code, 0);
    EXPECT_EQ(c->Exchange(373, 0, 0, {}, 4)->header.reply_code, 0);
    EXPECT_EQ(c->Exchange(999, 0, 0, {}, 4)->header.value, 7);
}

TEST_F(TestServerTest, RawRepliesAreSentAsWritten) {
    Start(WithBehaviour(R"({"raw_replies": [
        {"code": 373, "value": 3, "param": 70000, "param2": 9, "data_hex": "01 02 03"},
        {"code": 370, "data_hex": "0a0b", "data_length": 1100}]})"));
    auto c = Admin();
    auto status = c->Exchange(373, 0, 0, {}, 4);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->header.reply_code, 0);
    EXPECT_EQ(status->header.value, 3);
    EXPECT_EQ(status->header.param, 70000u);
    EXPECT_EQ(status->header.param2, 9);
    EXPECT_EQ(Hex(status->data), "010203");
    // A longer announced length is filled with zeros over as many packets as it needs.
    auto webs = c->Exchange(370, 0, 0, {}, 4);
    ASSERT_TRUE(webs);
    EXPECT_EQ(webs->packets, 3);
    EXPECT_EQ(webs->data, std::string("\x0a\x0b", 2) + std::string(1098, '\0'));
}

TEST_F(TestServerTest, ClosesInTheMiddleOfAReplyWhenAsked) {
    struct Case {
        const char* behaviour;
        std::size_t bytes_before_close;
    } cases[] = {
        {R"({"huge_replies": [{"code": 368, "bytes": 100000}],
             "close_mid_reply": [{"code": 368, "after_packets": 3}]})",
         3 * kPacket},
        {R"({"close_mid_reply": [{"code": 368, "after_bytes": 100}]})", 100},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.behaviour);
        Start(WithBehaviour(k.behaviour));
        auto c = Admin();
        c->Send(368, 0, 0, {}, 4);
        EXPECT_EQ(c->DrainUntilClosed(), k.bytes_before_close);
        EXPECT_EQ(server_->Stop(), 0);
    }
}

TEST_F(TestServerTest, HugeLocalListIsGeneratedAsWholeRecords) {
    Start(
        WithBehaviour(R"({"huge_replies": [{"code": 368, "bytes": 200000, "results_each": 10}]})"));
    auto c = Admin();
    auto r = c->Exchange(368, 0, 0, {}, 4);
    ASSERT_TRUE(r);
    const std::size_t record = 41 + 5 * 10;
    EXPECT_EQ(r->header.value, (200000 + record - 1) / record);
    EXPECT_EQ(r->data.size(), r->header.value * record);
    EXPECT_EQ(r->packets, static_cast<int>((r->data.size() - 1) / kArea + 1));
    EXPECT_EQ(r->data.substr(0, 10), Short("USER00000"));
    EXPECT_EQ(Get16(reinterpret_cast<const std::uint8_t*>(r->data.data()) + 10 + 4 + 1 + 4 + 2),
              10);
}

TEST_F(TestServerTest, MultiPacketRequestsAreReassembledAndLogged) {
    Start();
    auto c = Admin();
    std::string data(1200, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    auto r = c->Exchange(999, 12, 34, data, 4);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.value, 7);
    const auto lines = server_->LogLines();
    ASSERT_EQ(lines.size(), 3u);
    std::ostringstream expected;
    expected << "conn=" << c->Id() << " code=999 serial=3 reply_code=4 value=12 param=34 param2=0"
             << " data_length=1200 packets=3 connection_id=" << c->Id() << " data=" << Hex(data);
    EXPECT_EQ(lines[2], expected.str());
}

TEST_F(TestServerTest, RequestsThatDoNotHoldTogetherAreRefused) {
    Start();
    // A request for another connection id gets a server error.
    Client other(server_->Port());
    ASSERT_EQ(other.Register(), kPacket);
    other.Send(20, 0, 0, {}, 0, other.Id() + 1);
    auto wrong = other.Receive();
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->header.reply_code, 1);
    EXPECT_EQ(wrong->header.value, 115);

    // Packets that contradict their own header end the connection without a reply.
    struct Case {
        const char* what;
        std::uint32_t data_length;
        std::uint16_t packet_count, packet_index;
    } cases[] = {
        {"two packets for 10 bytes", 10, 2, 0},
        {"no packets", 0, 0, 0},
        {"first packet with index 1", 0, 1, 1},
        {"more data than a request holds", 70000, 138, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Client c(server_->Port());
        ASSERT_EQ(c.Register(), kPacket);
        std::uint8_t p[kPacket] = {};
        Put32(p + 4, k.data_length);
        Put32(p + 8, c.Id());
        Put16(p + 12, 20);
        Put16(p + 18, k.packet_count);
        Put16(p + 20, k.packet_index);
        c.SendRaw(p, kPacket);
        EXPECT_EQ(c.DrainUntilClosed(), 0u);
    }
}

TEST(TestServerFixture, BadFixturesAreRefusedWithTheOffendingKey) {
    struct Case {
        const char* json;
        const char* message;
    } cases[] = {
        {R"({"center_nam": "x"})", "center_nam: unknown key"},
        {R"({"local_connections": [{"user_name": "A"}]})",
         "local_connections[0].security_num: missing"},
        {R"({"server_name": "ی"})", "server_name: character U+06CC has no Windows-1256 byte"},
        {R"({"web_connections": [{"user_id": 1, "last_access_time": "2004-13-01 00:00:00"}]})",
         "web_connections[0].last_access_time: not a valid date"},
        {R"({"server_tag": 256})", "server_tag: must lie between 0 and 255"},
        {"{", "not valid JSON"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.json);
        Server s(k.json);
        EXPECT_EQ(s.Port(), 0);
        EXPECT_EQ(s.Stop(), 1);
        EXPECT_NE(s.Stderr().find(k.message), std::string::npos) << s.Stderr();
    }
}

} // namespace
