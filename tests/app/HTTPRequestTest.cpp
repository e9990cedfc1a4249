// The HTTP GET beneath every server request, against peers on 127.0.0.1.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <string>

#include "HTTPRequest.h"
#include "LocalUpdateServer.h"
#include "ScriptedHttpServer.h"
#include "TestPaths.h"

using test_support::LocalUpdateServer;
using test_support::ScriptedAnswer;
using test_support::ScriptedHttpServer;
using test_support::TemporaryDirectory;

namespace {

// A port on 127.0.0.1 that nothing listens on.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

std::string failure_text(const std::string& url) {
    try {
        HTTPRequest::GET(url, {{"op", "hi"}});
    } catch (const std::runtime_error& failure) {
        return failure.what();
    }
    return "no failure";
}

}  // namespace

TEST(HTTPRequest, QueryIsEveryParameterInKeyOrderEachFollowedByAmpersand) {
    const struct {
        std::map<std::string, std::string> parameters;
        std::string query;
    } cases[] = {
        {{{"b", "2"}, {"a", "1"}}, "?a=1&b=2&"},
        {{}, ""},  // no "?" at all
        {{{"fp", "0000000A%200000000B"}}, "?fp=0000000A%200000000B&"},  // sent as given, not escaped again
    };
    for (const auto& c : cases) {
        ScriptedHttpServer server({{200, "ok\n"}});
        HTTPResponse response = HTTPRequest::GET(server.url(), c.parameters);
        EXPECT_EQ(response.get_request(), server.url() + c.query);
        EXPECT_EQ(server.targets(), std::vector<std::string>{"/cgi/u" + c.query});
        EXPECT_EQ(response.get_status(), 200);
        EXPECT_EQ(response.get_response(), "ok\n");
    }
}

TEST(HTTPRequest, ErrorStatusIsAnAnswerNotAFailure) {
    ScriptedHttpServer server({{404, "no such operation\n"}});
    HTTPResponse response = HTTPRequest::GET(server.url(), {{"op", "x"}});
    EXPECT_EQ(response.get_status(), 404);
    EXPECT_EQ(response.get_response(), "no such operation\n");
}

TEST(HTTPRequest, BodyInSeveralChunksArrivesWholeAndInOrder) {
    std::string body;
    for (int line = 0; line < 40; ++line) body += "line " + std::to_string(line) + "\n";
    ScriptedHttpServer server({{200, body, 6}});
    EXPECT_EQ(HTTPRequest::GET(server.url(), {}).get_response(), body);
}

TEST(HTTPRequest, FailureBelowHttpThrowsLibcurlsText) {
    std::string url = "http://127.0.0.1:" + std::to_string(closed_port()) + "/cgi/u";
    EXPECT_EQ(failure_text(url), curl_easy_strerror(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(failure_text("nonsense://x"), curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
}

TEST(HTTPRequest, PeerWithUntrustedCertificateIsRefused) {
    // The certificate names 127.0.0.1, so only the peer check can refuse it.
    TemporaryDirectory catalogue;
    LocalUpdateServer server(catalogue.path(), {"--tls", test_support::source_file("tests/app/fixtures/self_signed.pem")});
    ASSERT_EQ(server.url().rfind("https://", 0), 0u);
    EXPECT_EQ(failure_text(server.url()), curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
}
