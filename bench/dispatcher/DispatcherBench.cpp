// Figures for the console requests against the reference server, each beside the plain work
// it is measured against in the same run:
//  - decoding a local connection list of about 33 MB against its transfer over loopback;
//  - reading a 4 MB error log in 4096-byte chunks against a plain ping-pong of the same packets;
//  - zephran-admin locals --json on 10000 connections with 50 results each: wall time and
//    peak memory against the size of the decoded list.

#include "BenchServer.h"
#include "ConnectLogin.h"
#include "ConsoleRequests.h"
#include "MessagePresenters.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "ViewRules.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The reference server, started on a free port with a fixture.

void DecodeAgainstTransfer() {
    TBenchServer server(std::string(ZEPHRAN_FIXTURES) + "/bench-huge-locals.json");
    if (!Connect(server))
        return;
    double transfer = 1e9;
    double decode = 1e9;
    std::size_t records = 0;
    std::int32_t bytes = 0;
    for (int run = 0; run < 3; ++run) {
        TRequestRecord r;
        r.Code = ConsoleRequest::kLocalConnList.Code;
        const auto t0 = Clock::now();
        if (RequestDispatcher->ExecuteRequest(1, r) != TExchangeResult::Done || !r.Data)
            return;
        const auto t1 = Clock::now();
        TLocConnList list;
        DecodeLocalConnList(r.Data.get(), r.Value, list);
        const auto t2 = Clock::now();
        transfer = std::min(transfer, Seconds(t1 - t0));
        decode = std::min(decode, Seconds(t2 - t1));
        records = list.size();
        bytes = r.Data->Size();
    }
    Disconnect();
    std::printf("local connection list of %.1f MB (%zu connections)\n", bytes / 1e6, records);
    std::printf("  transfer over loopback: %8.1f ms\n", transfer * 1e3);
    std::printf("  decoding:               %8.1f ms\n", decode * 1e3);
    std::printf("  ratio decode/transfer: %.2f (target <= 0.50)\n", decode / transfer);
}

// A plain client of the same server: raw sockets, no reply buffer, no dispatcher.
class TPlainClient {
public:
    explicit TPlainClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::uint8_t packet[534];
        ReadExactly(packet, sizeof packet);
        id_ = Long(packet);
    }
    ~TPlainClient() { ::close(fd_); }

    // Sends one request and reads its whole reply; answers the reply's Value and Param.
    std::pair<std::uint16_t, std::uint32_t> Exchange(std::uint16_t code, std::uint16_t value,
                                                     std::uint32_t param, std::uint16_t stamp,
                                                     const std::string& data = {}) {
        std::uint8_t packet[534] = {};
        PutLong(packet, param);
        PutLong(packet + 4, static_cast<std::uint32_t>(data.size()));
        PutLong(packet + 8, id_);
        PutWord(packet + 12, code);
        PutWord(packet + 14, ++serial_);
        PutWord(packet + 16, value);
        PutWord(packet + 18, 1);
        PutWord(packet + 22, stamp);
        std::memcpy(packet + 26, data.data(), data.size());
        ::send(fd_, packet, sizeof packet, MSG_NOSIGNAL);
        ReadExactly(packet, sizeof packet);
        const std::uint16_t count = Word(packet + 18);
        const auto reply = std::make_pair(Word(packet + 16), Long(packet));
        for (int i = 1; i < count; ++i)
            ReadExactly(packet, sizeof packet);
        return reply;
    }

private:
    static void PutWord(std::uint8_t* p, std::uint16_t v) {
        p[0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
    }
    static void PutLong(std::uint8_t* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    static std::uint16_t Word(const std::uint8_t* p) {
        return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
    }
    static std::uint32_t Long(const std::uint8_t* p) {
        return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
               (std::uint32_t{p[3]} << 24);
    }
    void ReadExactly(std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            const ssize_t r = ::recv(fd_, p, n, 0);
            if (r <= 0)
                return;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
    }
    int fd_ = -1;
    std::uint32_t id_ = 0;
    std::uint16_t serial_ = 0;
};

void ErrorLogAgainstPingPong() {
    TBenchServer server(std::string(ZEPHRAN_FIXTURES) + "/bench-error-log.json");
    if (!Connect(server))
        return;
    TServerText text;
    const auto t0 = Clock::now();
    ReadWholeServerErrorLog(1, text);
    const double link = Seconds(Clock::now() - t0);
    Disconnect();

    // The same chunks, asked for by a plain client of the same server.
    TPlainClient plainClient(server.Port);
    plainClient.Exchange(20, 0, 0, 0); // answered "refused"; the login does not need it
    const std::string password = ScramblePassword("admin");
    std::string login =
        std::string(1, char(13)) + "ADMINISTRATOR" + char(password.size()) + password;
    plainClient.Exchange(18, 0, 0, 0, login);
    const std::uint16_t stamp = static_cast<std::uint16_t>(plainClient.Exchange(1, 0, 0, 0).second);
    int chunks = 0;
    std::uint32_t offset = 0;
    const auto p0 = Clock::now();
    for (;;) {
        ++chunks;
        const std::uint16_t length =
            plainClient.Exchange(ConsoleRequest::kReadErrorLog.Code, 4096, offset, stamp).first;
        if (length == 0)
            break;
        offset += length;
    }
    const double plain = Seconds(Clock::now() - p0);
    std::printf("error log of %u bytes in %d chunk requests\n", offset, chunks);
    std::printf("  per chunk, console:          %8.1f us\n", link / chunks * 1e6);
    std::printf("  per chunk, plain ping-pong:  %8.1f us\n", plain / chunks * 1e6);
    std::printf("  ratio console/plain: %.2f (target <= 1.30)\n", link / plain);
}

struct TRun {
    double Seconds = 0;
    long PeakKb = 0;
    int Status = -1;
};

TRun RunAdmin(int port, const char* command, bool json) {
    TRun run;
    const auto t0 = Clock::now();
    const pid_t pid = StartAdmin(port, command, json);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.Seconds = Seconds(Clock::now() - t0);
    run.PeakKb = usage.ru_maxrss;
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void AdminLocalsJson() {
    TBenchServer server(std::string(ZEPHRAN_FIXTURES) + "/bench-locals.json");
    // The decoded list's size, as the tool holds it.
    std::size_t decodedBytes = 0;
    std::size_t connections = 0;
    if (Connect(server)) {
        TLocConnList list;
        GetLocalConnList(1, list);
        connections = list.size();
        decodedBytes = list.capacity() * sizeof(TLocConnInfo);
        for (const TLocConnInfo& c : list)
            decodedBytes +=
                c.Results.capacity() * sizeof(TLocConnResult) + c.UserName.Bytes.capacity();
        Disconnect();
    }
    const TRun idle = RunAdmin(server.Port, "info", false);
    const TRun locals = RunAdmin(server.Port, "locals", true);
    std::printf("zephran-admin locals --json, %zu connections with 50 results each\n", connections);
    std::printf("  wall time: %.2f s (exit status %d)\n", locals.Seconds, locals.Status);
    std::printf("  peak resident: %ld kB; the same tool's info command: %ld kB; growth %ld kB\n",
                locals.PeakKb, idle.PeakKb, locals.PeakKb - idle.PeakKb);
    std::printf("  decoded list: %zu kB; growth/decoded: %.2f (target <= 3.00)\n",
                decodedBytes / 1024,
                double(locals.PeakKb - idle.PeakKb) / (static_cast<double>(decodedBytes) / 1024.0));
}

} // namespace

int main() {
    const std::string dir =
        (std::filesystem::temp_directory_path() / "zephran-dispatcher-bench/").string();
    std::filesystem::create_directories(dir + "TEMP");
    SetProgramDirectory(dir);
    TStderrMessagePresenter presenter;
    SetMessagePresenter(&presenter);
    if (!CreateRequestDispatcher())
        return 1;
    ReportProc = [](const std::string& m) { std::fprintf(stderr, "link: %s\n", m.c_str()); };

    DecodeAgainstTransfer();
    ErrorLogAgainstPingPong();
    AdminLocalsJson();

    FreeRequestDispatcher();
    std::filesystem::remove_all(dir);
    return 0;
}
