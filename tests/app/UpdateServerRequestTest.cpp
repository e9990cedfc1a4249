// The update server operations: what each sends, and what it makes of the answers.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ScriptedHttpServer.h"
#include "UpdateServerRequest.h"

using test_support::ScriptedAnswer;
using test_support::ScriptedHttpServer;

namespace {

using Builds = std::map<std::string, std::string>;

std::string only_target(const ScriptedHttpServer& server) {
    std::vector<std::string> targets = server.targets();
    return targets.size() == 1 ? targets[0] : "requests: " + std::to_string(targets.size());
}

}  // namespace

TEST(UpdateServerRequest, PingNeedsStatus200AndAStatusLineBeginningWithLowerCaseOk) {
    const struct {
        ScriptedAnswer answer;
        bool expected;
    } cases[] = {
        {{200, "ok\n"}, true},
        {{200, "okay\n"}, true},          // only the first two characters count
        {{200, "\n\nok\n"}, true},        // empty lines are skipped
        {{200, "ok\r\n"}, true},
        {{200, "OK\n"}, false},           // the comparison is case-sensitive
        {{200, ""}, false},
        {{200, "error\nok\n"}, false},
        {{500, "ok\n"}, false},
    };
    for (const auto& c : cases) {
        ScriptedHttpServer server({c.answer});
        EXPECT_EQ(UpdateServerRequest::ping(server.url().c_str()), c.expected) << c.answer.body;
        EXPECT_EQ(only_target(server), "/cgi/u?op=hi&rv=2&");
    }
}

TEST(UpdateServerRequest, QueryBuildSendsEightDigitSerialAndCutsOnlyTheIdentifierAtCarriageReturn) {
    ScriptedHttpServer server({{200, "ok\r\n1234\r\nFW-X\r\n"}});
    std::string build = "old", firmware = "old";
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x1A, build, firmware, server.url().c_str()));
    EXPECT_EQ(only_target(server), "/cgi/u?op=qu&sn=0000001A&");
    EXPECT_EQ(build, "1234\r");
    EXPECT_EQ(firmware, "FW-X");
}

TEST(UpdateServerRequest, MissingValueLinesLeaveTheCallersValues) {
    ScriptedHttpServer server({{200, "ok\n55\n"}});
    std::string build = "old", firmware = "old";
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(1, build, firmware, server.url().c_str()));
    EXPECT_EQ(build, "55");
    EXPECT_EQ(firmware, "old");

    uint32_t words[4] = {};
    uint32_t serial = 7, recovery_build = 9;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &recovery_build, server.url().c_str()));
    EXPECT_EQ(serial, 0x55u);
    EXPECT_EQ(recovery_build, 9u);
}

TEST(UpdateServerRequest, GetBuildSendsEveryParameterAndClearsTheBodyFirst) {
    const struct {
        ScriptedAnswer answer;
        bool no_cal;
        bool expected;
        std::string bird;
    } cases[] = {
        {{200, "ok\nYmlyZA==\n"}, false, true, "YmlyZA=="},
        {{200, "ok\nYmlyZA==\r\n"}, true, true, "YmlyZA==\r"},  // kept whole; it will not decode
        {{200, "ok\n"}, false, true, ""},
        {{404, "ok\nYmlyZA==\n"}, false, false, ""},
    };
    for (const auto& c : cases) {
        ScriptedHttpServer server({c.answer});
        std::string bird = "left over";
        EXPECT_EQ(UpdateServerRequest::GetBuild(0x40F5849A, "X", "1234", bird, server.url().c_str(), c.no_cal),
                  c.expected);
        EXPECT_EQ(bird, c.bird);
        EXPECT_EQ(only_target(server), std::string("/cgi/u?bld=1234&fw=X&no_cal=") + (c.no_cal ? "true" : "false") +
                                           "&op=bird&sn=40F5849A&");
    }
}

TEST(UpdateServerRequest, GetBuildListKeepsFirstOfRepeatedBuildsAndSkipsShortLines) {
    const struct {
        std::string body;
        Builds expected;
    } cases[] = {
        {"ok\n100;1.2.3\n100;9.9.9\n7\n101\n", {{"100", "1.2.3"}, {"101", ""}}},
        {"ok\r\n100;1.2.3\r\n22;2.0.0;extra\r\n", {{"100", "1.2.3"}, {"22", "2.0.0"}}},
        {"ok\n", {}},
    };
    for (const auto& c : cases) {
        ScriptedHttpServer server({{200, c.body}});
        Builds builds = {{"stale", "entry"}};
        ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x1A, builds, server.url().c_str()));
        EXPECT_EQ(builds, c.expected) << c.body;
        EXPECT_EQ(only_target(server), "/cgi/u?op=builds&sn=0000001A&");
    }
}

TEST(UpdateServerRequest, GetRecoveryInfoSendsTheFingerprintAndReadsBuildWithItsBasePrefix) {
    const struct {
        std::string body;
        bool expected;
        uint32_t serial;
        uint32_t build;
    } cases[] = {
        {"ok\n40F5849A\n0x10\n", true, 0x40F5849A, 16},
        {"ok\n40f5849a\n010\n", true, 0x40F5849A, 8},
        {"ok\n40F5849A\n1234\r\n", true, 0x40F5849A, 1234},
        {"ok\nnot-hex\n12\n", false, 0, 0},
        {"ok\n40F5849A\n-1\n", false, 0x40F5849A, 0},
        {"ok\n140F5849A\n1\n", false, 0, 0},  // beyond 32 bits
    };
    const uint32_t fingerprint[4] = {0x1, 0xABCDEF01, 0x22, 0xFFFFFFFF};
    for (const auto& c : cases) {
        ScriptedHttpServer server({{200, c.body}});
        uint32_t serial = 0, build = 0;
        EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build, server.url().c_str()),
                  c.expected)
            << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(only_target(server),
                  "/cgi/u?brief=true&fp=00000001%20ABCDEF01%2000000022%20FFFFFFFF&op=fix&");
    }
}

TEST(UpdateServerRequest, GetDeviceJWTNeedsThreePartsOfTwoCharactersEach) {
    const struct {
        std::string body;
        bool expected;
        std::string token;
    } cases[] = {
        {"ok\naa.bb.cc\r\n", true, "aa.bb.cc"},
        {"ok\nheader.payload.signature\n", true, "header.payload.signature"},
        {"ok\naa.b.cc\n", false, "unchanged"},
        {"ok\naa.bb\n", false, "unchanged"},
        {"ok\naa.bb.c\r\n", false, "unchanged"},
        {"ok\naa.bb.cc.dd\n", false, "unchanged"},
        {"ok\n", false, "unchanged"},
        {"OK\naa.bb.cc\n", false, "unchanged"},
    };
    for (const auto& c : cases) {
        ScriptedHttpServer server({{200, c.body}});
        std::string token = "unchanged";
        EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(0x40F5849A, token, server.url().c_str()), c.expected) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
        EXPECT_EQ(only_target(server), "/cgi/u?json=false&op=ent_jwt&sn=40F5849A&");
    }
}

TEST(UpdateServerRequest, UnreachableServerIsAFalseResultNotAnException) {
    std::string url;
    {
        ScriptedHttpServer gone({{200, "ok\n"}});
        url = gone.url();
    }
    std::string text;
    Builds builds;
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, text, text, url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, text, url.c_str()));
}

TEST(UpdateServerRequest, SplitVersionGivesThreePiecesOrNothing) {
    using Pieces = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitLumenvaneVersion("1.2.3"), (Pieces{"1", "2", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitLumenvaneVersion("1..3"), (Pieces{"1", "", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitLumenvaneVersion("1.2"), Pieces{});
    EXPECT_EQ(UpdateServerRequest::SplitLumenvaneVersion("1.2.3.4"), Pieces{});
    EXPECT_EQ(UpdateServerRequest::SplitLumenvaneVersion(""), Pieces{});
}

TEST(UpdateServerRequest, SortPutsNewestFirstAndMalformedVersionsLastInBuildOrder) {
    auto order = [](const Builds& builds) {
        std::vector<std::string> result;
        for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds)) result.push_back(build);
        return result;
    };
    using Order = std::vector<std::string>;
    EXPECT_EQ(order({{"1", "1.2.3"}, {"2", "1.10.0"}, {"3", "2.0.0"}}), (Order{"3", "2", "1"}));
    // Parts count by their low 8 bits: equal versions keep their map order.
    EXPECT_EQ(order({{"a", "1.0.0"}, {"b", "1.256.0"}}), (Order{"a", "b"}));
    EXPECT_EQ(order({{"b", "1.256.0"}, {"c", "1.0.0"}, {"d", "1.0.1"}}), (Order{"d", "b", "c"}));
    EXPECT_EQ(order({{"10", ""}, {"11", "x.y.z"}, {"12", "1.2.3"}, {"13", "1.2"}, {"14", "3.0.0"}, {"15", "1.2.x"}}),
              (Order{"14", "12", "10", "11", "13", "15"}));
}

TEST(UpdateServerRequest, VersionOrderIsAStrictWeakOrdering) {
    const std::vector<BuildVersion> entries = {{"1", "1.2.3"}, {"2", "1.2.3"}, {"3", "1.256.3"}, {"4", "2.0.0"},
                                               {"5", ""},      {"6", "a.b.c"}, {"7", "0.0.0"},   {"8", "1.2"}};
    for (const auto& a : entries) {
        EXPECT_FALSE(_sortVersion(a, a)) << a.second;
        for (const auto& b : entries) {
            if (_sortVersion(a, b)) {
                EXPECT_FALSE(_sortVersion(b, a)) << a.second << " " << b.second;
            }
            for (const auto& c : entries) {
                bool a_equivalent_b = !_sortVersion(a, b) && !_sortVersion(b, a);
                bool b_equivalent_c = !_sortVersion(b, c) && !_sortVersion(c, b);
                if (_sortVersion(a, b) && _sortVersion(b, c)) {
                    EXPECT_TRUE(_sortVersion(a, c));
                }
                if (a_equivalent_b && b_equivalent_c) {
                    EXPECT_FALSE(_sortVersion(a, c) || _sortVersion(c, a)) << a.second << " " << c.second;
                }
            }
        }
    }
}
