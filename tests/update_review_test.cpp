// Second look at the firmware updater from the HMI's side: offer lines as the protocol's own
// parser reads them, the installed version from unusual link targets, the pause before the
// transfer request, connection retries, the default port and a file that cannot be created.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/hmi_peer.h"

namespace {

constexpr int WAIT_MS = 10000;  // generous bound against hanging

const std::string QUERY = "Event=GetFirmwareVersion,Type=HW\n";
const std::string ACCEPTED = "Event=NotifyUpdateFirmware,Type=HW,Status=Accepted,Message=NONE\n";
const std::string REJECTED = "Event=NotifyUpdateFirmware,Type=HW,Status=Rejected,Message=NONE\n";

class UpdateReviewTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(root_.dir().empty());
        ASSERT_EQ(0, access(binary_.c_str(), X_OK)) << binary_;
        img_ = hmi_read_file(TCU_BINARY_DIR "/zq_update");  // the updater's own machine
        ASSERT_GT(img_.size(), 1024u);
        root_.install("1_2_3", img_);
    }

    std::map<std::string, std::string> env() const {
        return {{"TCU_ROOT", root_.dir()}, {"ZQ_UPDATE_START_DELAY_MS", "0"}};
    }

    void start(HmiUpdater *upd, HmiServer *srv) {
        ASSERT_TRUE(
            upd->start(binary_, {"-i", "127.0.0.1", "-p", std::to_string(srv->port())}, env()));
        ASSERT_TRUE(srv->accept_within(WAIT_MS)) << upd->output();
    }

    std::string ask_version(HmiServer *srv) {
        if (!srv->send_text(QUERY)) return "";
        return srv->read_line(WAIT_MS);
    }

    HmiRoot root_;
    std::string binary_ = TCU_BINARY_DIR "/zq_update";
    std::vector<unsigned char> img_;
};

// The offer is read as "…Size=%d,Version=%d.%d.%d": what follows the third number (a CR, a
// further field) is never looked at, a signed or blank-led number is a number, and a version
// number below zero is a version like any other.
TEST_F(UpdateReviewTest, OfferTailIsNotReadAndVersionNumbersMayBeNegative) {
    HmiServer srv;
    HmiUpdater upd;
    start(&upd, &srv);
    const std::string size = std::to_string(img_.size());
    struct Case {
        std::string line;
        std::string version;
    };
    const Case cases[] = {
        {"Event=NotifyUpdateFirmware,Type=HW,Size=" + size + ",Version=2.0.0\r\n", "2.0.0"},
        {"Event=NotifyUpdateFirmware,Type=HW,Size=" + size + ",Version=2.0.1,Message=NONE\n",
         "2.0.1"},
        {"Event=NotifyUpdateFirmware,Type=HW,Size=+" + size + ",Version= 2.1.0\n", "2.1.0"},
        {"Event=NotifyUpdateFirmware,Type=HW,Size=" + size + ",Version=2.-1.0\n", "2.-1.0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(srv.send_text(c.line));
        ASSERT_EQ(ACCEPTED, srv.read_line(WAIT_MS)) << upd.output();
        int64_t accepted_ns = srv.line_arrival_ns();
        EXPECT_EQ("Event=UpdateFirmware,Type=HW,Version=" + c.version + "\n",
                  srv.read_line(WAIT_MS));
        // The request follows a second after the acceptance. Only a lower bound, taken
        // between the kernel's arrival times of both lines: a loaded machine can lengthen
        // the pause, and a late wake-up of the test cannot shorten it.
        ASSERT_NE(accepted_ns, 0);
        EXPECT_GE(srv.line_arrival_ns() - accepted_ns, 900LL * 1000000);
        // Leave before the image: nothing is installed and the updater comes back.
        srv.cut();
        ASSERT_TRUE(srv.accept_within(WAIT_MS)) << upd.output();
    }
    EXPECT_EQ("Event=GetFirmwareVersion,Type=HW,Version=1.2.3\n", ask_version(&srv));
    EXPECT_EQ(root_.bin("app_ZQHW_1_2_3"), root_.link_target());
    // A Size that does not parse is still refused, whatever follows.
    ASSERT_TRUE(srv.send_text("Event=NotifyUpdateFirmware,Type=HW,Size=x,Version=2.0.0\r\n"));
    EXPECT_EQ(REJECTED, srv.read_line(WAIT_MS));
}

// The installed version comes from the first "app_ZQHW_" in the link target, and numbers that
// do not parse count as 0.
TEST_F(UpdateReviewTest, InstalledVersionFromFirstVersionedNameInTheTarget) {
    struct Case {
        std::string target;  // below $TCU_ROOT/home/root/bin
        std::string version;
        std::string trace;  // the tail printed on its own line, then the parsed numbers
    };
    const Case cases[] = {
        {"app_ZQHW_4_5", "4.5.0", "\napp_ZQHW_4_5\n"},
        {"app_ZQHW_7_8_9.d/terminal", "7.8.9", "\napp_ZQHW_7_8_9.d/terminal\n"},
        {"app_ZQHW_x", "0.0.0", "\napp_ZQHW_x\n"},
    };
    HmiServer srv;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        std::string file = root_.bin(c.target);
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        hmi_write_file(file, img_, 0755);
        std::string link = root_.bin("app_ZQHW");
        unlink(link.c_str());
        ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
        HmiUpdater upd;
        start(&upd, &srv);
        EXPECT_EQ("Event=GetFirmwareVersion,Type=HW,Version=" + c.version + "\n",
                  ask_version(&srv));
        std::string numbers = c.version;
        for (char &ch : numbers) {
            if (ch == '.') ch = '_';
        }
        EXPECT_TRUE(upd.wait_output(c.trace, WAIT_MS)) << upd.output();
        EXPECT_TRUE(upd.wait_output(", android_LoadVersion | app_ZQHW_" + numbers + "\n", WAIT_MS))
            << upd.output();
        upd.stop();
    }
}

// Until the HMI listens, every second brings a new attempt with its trace line.
TEST_F(UpdateReviewTest, ConnectRetriesUntilTheHmiListens) {
    // A free port, kept bound without listening: the updater's attempts are refused as
    // if nobody were there, and no other process can take the port meanwhile.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(probe, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(probe, (sockaddr *)&addr, sizeof addr));
    socklen_t len = sizeof addr;
    getsockname(probe, (sockaddr *)&addr, &len);
    const int port = ntohs(addr.sin_port);

    HmiUpdater upd;
    ASSERT_TRUE(upd.start(binary_, {"-i", "127.0.0.1", "-p", std::to_string(port)}, env()));
    const std::string failed = ", android_connect | local socket connect to 127.0.0.1." +
                               std::to_string(port) + " failed.retry...\n";
    ASSERT_TRUE(upd.wait_output(failed, WAIT_MS)) << upd.output();
    // A second attempt follows after the pause.
    auto second = [&] {
        std::string out = upd.output();
        size_t first = out.find(failed);
        return first != std::string::npos && out.find(failed, first + 1) != std::string::npos;
    };
    for (int i = 0; i < 2 * WAIT_MS / 100 && !second(); ++i) usleep(50000);
    ASSERT_TRUE(second()) << upd.output();

    int lfd = probe;
    ASSERT_EQ(0, listen(lfd, 1));
    pollfd pfd = {lfd, POLLIN, 0};
    ASSERT_EQ(1, poll(&pfd, 1, WAIT_MS)) << upd.output();
    int conn = accept(lfd, nullptr, nullptr);
    EXPECT_GE(conn, 0);
    EXPECT_TRUE(upd.wait_output(
        "\nlocal socket connect to 127.0.0.1." + std::to_string(port) + " ok.\n", WAIT_MS))
        << upd.output();
    upd.stop();
    if (conn >= 0) close(conn);
    close(lfd);
}

// Without -p the updater connects to port 20248.
TEST_F(UpdateReviewTest, DefaultPort) {
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(20248);
    if (bind(lfd, (sockaddr *)&addr, sizeof addr) != 0 || listen(lfd, 1) != 0) {
        close(lfd);
        GTEST_SKIP() << "127.0.0.1:20248 is in use";
    }
    HmiUpdater upd;
    ASSERT_TRUE(upd.start(binary_, {"-i", "127.0.0.1"}, env()));
    pollfd pfd = {lfd, POLLIN, 0};
    EXPECT_EQ(1, poll(&pfd, 1, WAIT_MS)) << upd.output();
    EXPECT_TRUE(upd.wait_output("local socket connect to 127.0.0.1.20248 ok.\n", WAIT_MS))
        << upd.output();
    upd.stop();
    close(lfd);
}

// A file that cannot be created is answered "Fail" on the still open connection; nothing is
// installed, stopped or rebooted.
TEST_F(UpdateReviewTest, FileThatCannotBeCreatedAnswersFail) {
    // A directory where the download would be created.
    ASSERT_EQ(0, mkdir(root_.bin("app_ZQHW_2_0_0.part").c_str(), 0755));
    HmiServer srv;
    HmiUpdater upd;
    start(&upd, &srv);
    ASSERT_TRUE(srv.send_text("Event=NotifyUpdateFirmware,Type=HW,Size=" +
                              std::to_string(img_.size()) + ",Version=2.0.0\n"));
    ASSERT_EQ(ACCEPTED, srv.read_line(WAIT_MS));
    ASSERT_EQ("Event=UpdateFirmware,Type=HW,Version=2.0.0\n", srv.read_line(WAIT_MS));
    EXPECT_EQ("Event=NotifyUpdateFirmwareResult,Type=HW,Status=Fail,Version=2.0.0,Message=NONE\n",
              srv.read_line(WAIT_MS))
        << upd.output();
    EXPECT_TRUE(upd.wait_output("fp =(nil)\n", WAIT_MS)) << upd.output();
    EXPECT_EQ("Event=GetFirmwareVersion,Type=HW,Version=1.2.3\n", ask_version(&srv));
    EXPECT_EQ(root_.bin("app_ZQHW_1_2_3"), root_.link_target());
    EXPECT_EQ("", root_.calls());
}

}  // namespace
