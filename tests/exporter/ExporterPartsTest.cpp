// The exporter's parts on their own: the credentials file, the probe's time budget, the listen
// address, the text of a probe's answer.

#include "Credentials.h"
#include "Exporter.h"
#include "ProbeChild.h"
#include "ProbeMetrics.h"
#include "ProbeResult.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace {

TEST(ExporterCredentials, ParsesTargetsAndTheFallback) {
    TCredentials credentials;
    std::string message;
    ASSERT_TRUE(
        credentials.Parse("# fleet\r\nlib1:4545\tone\r\n\nlib2\ttwo\twith tab\n*\tall\n", message))
        << message;
    EXPECT_EQ(credentials.PasswordFor("lib1:4545"), "one");
    EXPECT_EQ(credentials.PasswordFor("lib2"), "two\twith tab");
    EXPECT_EQ(credentials.PasswordFor("lib1"), "all");
    EXPECT_EQ(credentials.PasswordFor("other:1"), "all");

    TCredentials without;
    ASSERT_TRUE(without.Parse("lib1\tone", message));
    EXPECT_EQ(without.PasswordFor("lib1"), "one");
    EXPECT_FALSE(without.PasswordFor("lib2").has_value());
}

TEST(ExporterCredentials, RefusesBadLinesWithoutQuotingThem) {
    const struct {
        const char* Text;
        const char* Message;
    } cases[] = {
        {"lib1 secret-one\n", "has no target and tab at line 1."},
        {"ok\tx\n\tsecret-two\n", "has no target and tab at line 2."},
        {"*\ta\n*\tsecret-three\n", "has a second \"*\" line at line 2."},
        {"t\ta\nt\tsecret-four\n", "names the same target twice, again at line 2."},
    };
    const std::string longest = "t\t" + std::string(kLongestPassword, 's') + "\n";
    TCredentials fits;
    std::string message;
    EXPECT_TRUE(fits.Parse(longest, message)) << message;
    EXPECT_FALSE(fits.Parse("u\tsecret-five" + longest.substr(2), message));
    EXPECT_EQ(message, "has a password longer than 4096 bytes at line 1.");
    for (const auto& c : cases) {
        TCredentials credentials;
        std::string message;
        EXPECT_FALSE(credentials.Parse(c.Text, message)) << c.Text;
        EXPECT_EQ(message, c.Message);
        EXPECT_EQ(message.find("secret"), std::string::npos);
    }
}

TEST(ExporterCredentials, FileOpenToOthersIsRefused) {
    TTempFolder folder;
    const std::string path = folder.Path() + "credentials";
    std::ofstream(path) << "*\tsecret\n";
    const struct {
        mode_t Mode;
        bool Accepted;
    } cases[] = {{0600, true},  {0640, true},  {0400, true},
                 {0644, false}, {0602, false}, {0604, false}};
    for (const auto& c : cases) {
        ASSERT_EQ(::chmod(path.c_str(), c.Mode), 0);
        TCredentials credentials;
        std::string message;
        EXPECT_EQ(credentials.Load(path, message), c.Accepted) << std::oct << c.Mode;
        if (!c.Accepted) {
            EXPECT_NE(message.find("others may read or write it"), std::string::npos) << message;
            EXPECT_FALSE(credentials.PasswordFor("x").has_value());
        }
    }
    TCredentials missing, folderItself;
    std::string message;
    EXPECT_FALSE(missing.Load(folder.Path() + "none", message));
    EXPECT_NE(message.find("cannot be opened"), std::string::npos) << message;
    EXPECT_FALSE(folderItself.Load(folder.Path(), message));
    EXPECT_NE(message.find("is not a regular file"), std::string::npos) << message;
}

TEST(ExporterOptions, ProbeBudgetFollowsTheScrapeTimeout) {
    using std::chrono::milliseconds;
    const struct {
        const char* Header;
        milliseconds Budget;
    } cases[] = {
        {"", milliseconds(9500)},    // --timeout 10, less half a second
        {"10", milliseconds(9500)},  // Prometheus's default
        {"1", milliseconds(750)},    // a quarter of a second kept back for short ones
        {"2.5", milliseconds(2250)}, //
        {"5", milliseconds(4500)},   // a tenth
        {"0.2", milliseconds(150)},  // a quarter of very short ones
        {"0", milliseconds(9500)},   // not a time-out: the option's
        {"-3", milliseconds(9500)},  //
        {"abc", milliseconds(9500)}, //
        {"5s", milliseconds(9500)},  //
        {"nan", milliseconds(9500)}, //
        {"inf", milliseconds(9500)}, //
        {"1e9", milliseconds(9500)}  // at most --timeout
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProbeBudget(c.Header, milliseconds(10000)).count(), c.Budget.count()) << c.Header;
}

TEST(ExporterOptions, TimeoutOptionIsTheCeiling) {
    using std::chrono::milliseconds;
    const struct {
        const char* Header;
        milliseconds Longest;
        milliseconds Budget;
        double Reported;
    } cases[] = {
        {"600", milliseconds(10000), milliseconds(9500), 10},     // the header asks for more
        {"600", milliseconds(60000), milliseconds(59500), 60},    //
        {"30", milliseconds(60000), milliseconds(29500), 30},     // less: the header's
        {"", milliseconds(60000), milliseconds(59500), 60},       // none: --timeout
        {"1e9", milliseconds(600000), milliseconds(599500), 600}, // the longest --timeout
        {"15", milliseconds(1000), milliseconds(750), 1},         //
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProbeBudget(c.Header, c.Longest).count(), c.Budget.count())
            << c.Header << " " << c.Longest.count();
        EXPECT_EQ(ScrapeTimeoutSeconds(c.Header, c.Longest), c.Reported)
            << c.Header << " " << c.Longest.count();
    }
}

TEST(ExporterOptions, FallbackPasswordOnAReachableAddressIsWarnedOf) {
    const struct {
        const char* Listen;
        bool Fallback;
        bool Warned;
    } cases[] = {
        {"127.0.0.1:19866", true, false}, {"127.1.2.3:1", true, false},
        {"0.0.0.0:19866", true, true},    {"10.1.2.3:19866", true, true},
        {"12.7.0.1:1", true, true},       {"0.0.0.0:19866", false, false},
        {"10.1.2.3:19866", false, false},
    };
    for (const auto& c : cases) {
        const std::string warning = FallbackPasswordWarning(c.Listen, c.Fallback);
        EXPECT_EQ(!warning.empty(), c.Warned) << c.Listen << " " << c.Fallback;
        if (c.Warned) {
            EXPECT_NE(warning.find(std::string("--listen ") + c.Listen + " is not a loopback"),
                      std::string::npos)
                << warning;
            EXPECT_EQ(warning.find('\n'), std::string::npos);
        }
    }
    TCredentials with, without;
    std::string message;
    ASSERT_TRUE(with.Parse("a\tone\n*\tall\n", message));
    ASSERT_TRUE(without.Parse("a\tone\n", message));
    EXPECT_TRUE(with.HasFallback());
    EXPECT_FALSE(without.HasFallback());
}

// A probe goes on only while the exporter that started it is its parent, whatever that
// parent's number, 1 included.
TEST(ExporterProbe, RunsOnlyUnderTheExporterThatStartedIt) {
    EXPECT_TRUE(ParentIsTheExporter(static_cast<long>(::getppid())));
    EXPECT_FALSE(ParentIsTheExporter(static_cast<long>(::getpid())));
    EXPECT_FALSE(ParentIsTheExporter(0));
    EXPECT_FALSE(ParentIsTheExporter(-1));
    if (::getppid() != 1) {
        EXPECT_FALSE(ParentIsTheExporter(1));
    }
    // A child whose parent is this process: the expected number is this one, not 1.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(ParentIsTheExporter(static_cast<long>(::getppid())) && !ParentIsTheExporter(1) ? 0
                                                                                               : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ExporterOptions, ListenAddressIsAnIpv4AddressAndPort) {
    for (const char* good : {"127.0.0.1:19866", "0.0.0.0:0", "10.1.2.3:65535"})
        EXPECT_TRUE(ValidListenAddress(good)) << good;
    for (const char* bad : {"", "19866", ":19866", "127.0.0.1", "127.0.0.1:", "localhost:19866",
                            "127.0.0.1:65536", "127.0.0.1:99999", "256.0.0.1:1", "1.2.3:4",
                            "1.2.3.4.5:6", "[::1]:19866", "127.0.0.1:80,127.0.0.2:80"})
        EXPECT_FALSE(ValidListenAddress(bad)) << bad;
}

TEST(ExporterText, OneLineKeepsNoControlCharacter) {
    EXPECT_EQ(OneLine("Server Error Number 24\r\nBad request"),
              "Server Error Number 24 Bad request");
    EXPECT_EQ(OneLine("  a\tb \n"), "a b");
    EXPECT_EQ(OneLine("a\x1b[31mb\x7f"), "a\xEF\xBF\xBD[31mb\xEF\xBF\xBD");
    EXPECT_EQ(OneLine("\xC2\x9B"
                      "c"),
              "\xEF\xBF\xBD"
              "c");                                             // C1 CSI
    EXPECT_EQ(OneLine("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD"); // not UTF-8
    EXPECT_EQ(OneLine("abcdef", 3), "abc");
}

TEST(ExporterText, ProbeResultSurvivesThePipe) {
    TProbeResult r;
    r.Up = true;
    r.ServerName = "MAIN \"1\"";
    r.CentreName = "کتابخانه";
    r.Status.NonQueuedDBRequests = 4294967295u;
    r.Status.ResultCounts[13] = 65535;
    r.Connections = TProbeConnections{};
    r.Connections->ResultsByKind[14] = 3;
    const auto back = DecodeProbeResult(EncodeProbeResult(r));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->ServerName, r.ServerName);
    EXPECT_EQ(back->CentreName, r.CentreName);
    EXPECT_EQ(back->Status.NonQueuedDBRequests, 4294967295u);
    EXPECT_EQ(back->Status.ResultCounts[13], 65535);
    ASSERT_TRUE(back->Connections.has_value());
    EXPECT_EQ(back->Connections->ResultsByKind[14], 3u);
    for (const char* broken : {"", "{}", "{\"up\":true}", "not json", "[1,2]"})
        EXPECT_FALSE(DecodeProbeResult(broken).has_value()) << broken;
}

TEST(ExporterText, LabelValuesAreEscaped) {
    TProbeResult r;
    r.Up = true;
    r.ServerName = "A\\B \"C\"";
    r.CentreName = "x";
    const std::string text = ProbeMetricsText(r, 0.5, 10);
    EXPECT_NE(text.find("zephran_server_info{centre=\"x\",name=\"A\\\\B \\\"C\\\"\"} 1"),
              std::string::npos)
        << text;

    TProbeResult down;
    down.Error = "say \"no\"";
    const std::string downText = ProbeMetricsText(down, 0.25, 2.5);
    EXPECT_NE(downText.find("zephran_probe_error_info{message=\"say \\\"no\\\"\"} 1"),
              std::string::npos)
        << downText;
    EXPECT_NE(downText.find("zephran_up 0\n"), std::string::npos);
    EXPECT_NE(downText.find("zephran_probe_timeout_seconds 2.5\n"), std::string::npos);
    EXPECT_EQ(downText.find("zephran_requests_total"), std::string::npos);
}

} // namespace
