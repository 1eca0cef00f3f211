// The firmware updater seen from the HMI board: a scripted HMI on 127.0.0.1 drives the real
// zq_update program under a temporary installation root with pkill and reboot recorders.
#include <gtest/gtest.h>

#include <elf.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/hmi_peer.h"

namespace {

constexpr int WAIT_MS = 10000;  // generous bound against hanging, never a timing assertion

const std::string QUERY = "Event=GetFirmwareVersion,Type=HW\n";
const std::string REJECTED = "Event=NotifyUpdateFirmware,Type=HW,Status=Rejected,Message=NONE\n";
const std::string ACCEPTED = "Event=NotifyUpdateFirmware,Type=HW,Status=Accepted,Message=NONE\n";

std::string version_answer(const std::string &v) {
    return "Event=GetFirmwareVersion,Type=HW,Version=" + v + "\n";
}

std::string offer(long size, const std::string &v) {
    return "Event=NotifyUpdateFirmware,Type=HW,Size=" + std::to_string(size) + ",Version=" + v +
           "\n";
}

std::string request(const std::string &v) {
    return "Event=UpdateFirmware,Type=HW,Version=" + v + "\n";
}

std::string result(const std::string &status, const std::string &v) {
    return "Event=NotifyUpdateFirmwareResult,Type=HW,Status=" + status + ",Version=" + v +
           ",Message=NONE\n";
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A small real program for this machine.
std::vector<unsigned char> good_image() {
    return hmi_read_file(TCU_BINARY_DIR "/zq_update");  // an ELF of the updater's own machine
}

void put_u16(std::vector<unsigned char> *img, size_t off, uint16_t v) {
    memcpy(img->data() + off, &v, sizeof v);
}

class UpdateTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(root_.dir().empty());
        ASSERT_GT(server_.port(), 0);
        ASSERT_EQ(0, access(binary_.c_str(), X_OK)) << binary_;
        old_ = good_image();
        ASSERT_GT(old_.size(), 1024u);
    }

    void start(std::map<std::string, std::string> env = {}, std::vector<std::string> args = {}) {
        env.emplace("TCU_ROOT", root_.dir());
        env.emplace("ZQ_UPDATE_START_DELAY_MS", "0");
        env.emplace("ZQ_UPDATE_TRACE_READS", "1");
        env.emplace("ZQ_UPDATE_RECV_TIMEOUT_MS", "3000");
        if (args.empty()) args = {"-i", "127.0.0.1", "-p", std::to_string(server_.port())};
        ASSERT_TRUE(updater_.start(binary_, args, env));
        ASSERT_TRUE(server_.accept_within(WAIT_MS)) << updater_.output();
    }

    void expect_version(const std::string &v) {
        ASSERT_TRUE(server_.send_text(QUERY));
        EXPECT_EQ(version_answer(v), server_.read_line(WAIT_MS)) << updater_.output();
    }

    // Offers an image and answers the transfer request with the first `send` bytes of it.
    void offer_and_send(const std::vector<unsigned char> &img, const std::string &v, size_t send) {
        ASSERT_TRUE(server_.send_text(offer((long)img.size(), v)));
        ASSERT_EQ(ACCEPTED, server_.read_line(WAIT_MS)) << updater_.output();
        ASSERT_EQ(request(v), server_.read_line(WAIT_MS)) << updater_.output();
        ASSERT_TRUE(server_.send_bytes(img.data(), send));
    }

    // The installed program and nothing else: old link, no new version file, nothing run.
    void expect_untouched(const std::string &v) {
        EXPECT_EQ(root_.bin("app_ZQHW_1_2_3"), root_.link_target());
        EXPECT_EQ(old_, hmi_read_file(root_.bin("app_ZQHW_1_2_3")));
        if (!v.empty()) {
            EXPECT_FALSE(exists(root_.bin("app_ZQHW_" + v)));
            EXPECT_FALSE(exists(root_.bin("app_ZQHW_" + v + ".part")));
        }
        EXPECT_FALSE(exists(root_.bin("app_ZQHW.new")));
        EXPECT_EQ("", root_.calls());
    }

    HmiRoot root_;
    HmiServer server_;
    HmiUpdater updater_;
    std::string binary_ = TCU_BINARY_DIR "/zq_update";
    std::vector<unsigned char> old_;
};

// ---- version query and line framing --------------------------------------------------------

TEST_F(UpdateTest, VersionFromLinkRightAfterStart) {
    root_.install("1_2_3", old_);
    start();
    expect_version("1.2.3");
    EXPECT_TRUE(updater_.wait_output("app_version.linkname=" + root_.bin("app_ZQHW_1_2_3") + "\n",
                                     WAIT_MS));
    EXPECT_TRUE(updater_.wait_output("| app_ZQHW_1_2_3\n", WAIT_MS));
    EXPECT_TRUE(updater_.wait_output(
        "local socket connect to 127.0.0.1." + std::to_string(server_.port()) + " ok.\n", WAIT_MS));
}

TEST_F(UpdateTest, VersionZeroWithoutLinkOrVersionedName) {
    start();
    expect_version("0.0.0");
    updater_.stop();
    // A link whose target carries no version counts as no version.
    hmi_write_file(root_.bin("terminal"), old_, 0755);
    symlink(root_.bin("terminal").c_str(), root_.bin("app_ZQHW").c_str());
    HmiUpdater second;
    std::map<std::string, std::string> env = {{"TCU_ROOT", root_.dir()},
                                              {"ZQ_UPDATE_START_DELAY_MS", "0"}};
    ASSERT_TRUE(
        second.start(binary_, {"-i", "127.0.0.1", "-p", std::to_string(server_.port())}, env));
    ASSERT_TRUE(server_.accept_within(WAIT_MS));
    ASSERT_TRUE(server_.send_text(QUERY));
    EXPECT_EQ(version_answer("0.0.0"), server_.read_line(WAIT_MS));
}

TEST_F(UpdateTest, LinesResynchroniseOnEvent) {
    root_.install("1_2_3", old_);
    start();
    // Leftovers of an earlier line before "Event" are skipped byte by byte.
    ASSERT_TRUE(server_.send_text("\r\n\r" + QUERY));
    EXPECT_EQ(version_answer("1.2.3"), server_.read_line(WAIT_MS));
    ASSERT_TRUE(server_.send_text("xxEvenEvent=GetFirmwareVersion,Type=HW,Extra=1\n"));
    EXPECT_EQ(version_answer("1.2.3"), server_.read_line(WAIT_MS));
    // A full 1024-byte line without a line feed is dropped; the connection carries on.
    std::string big = "Event=GetFirmwareVersion,Type=HW" + std::string(1024 - 32, 'x');
    ASSERT_EQ(1024u, big.size());
    ASSERT_TRUE(server_.send_text(big));
    ASSERT_TRUE(server_.send_text(QUERY));
    EXPECT_EQ(version_answer("1.2.3"), server_.read_line(WAIT_MS));
    // Other events and the HMI's acknowledgement of a result are read and left unanswered.
    ASSERT_TRUE(server_.send_text("Event=Heartbeat,Type=HW\n"));
    ASSERT_TRUE(server_.send_text("Event=NotifyUpdateFirmwareResult,Type=HW,Status=OK\n"));
    ASSERT_TRUE(server_.send_text(QUERY));
    EXPECT_EQ(version_answer("1.2.3"), server_.read_line(WAIT_MS));
    EXPECT_TRUE(updater_.wait_output("recv:Event=Heartbeat,Type=HW\n\n", WAIT_MS));
}

TEST_F(UpdateTest, OptionsRefuseOverlongAddressAndBadPort) {
    root_.install("1_2_3", old_);
    const std::string longaddr(64, '1');
    start({}, {"-i", longaddr, "-p", "0", "-i", "127.0.0.1", "-p", std::to_string(server_.port())});
    expect_version("1.2.3");
    // The updater's output is collected by a reader thread: wait for it, a slow
    // machine may not have read it yet when the version answer arrives.
    EXPECT_TRUE(updater_.wait_output("-i " + std::string(63, '1') + " refused", WAIT_MS))
        << updater_.output();
    EXPECT_TRUE(updater_.wait_output("-p 0 refused", WAIT_MS)) << updater_.output();
}

// ---- offers --------------------------------------------------------------------------------

TEST_F(UpdateTest, OfferOfInstalledVersionIsRejectedAndNothingElse) {
    root_.install("1_2_3", old_);
    start();
    ASSERT_TRUE(server_.send_text(offer(2500, "1.2.3")));
    EXPECT_EQ(REJECTED, server_.read_line(WAIT_MS));
    // No transfer request follows (it would come a second after an acceptance).
    EXPECT_TRUE(server_.quiet_for(1500));
    EXPECT_TRUE(updater_.wait_output("as =2500,1,2,3\n", WAIT_MS));
    expect_version("1.2.3");
    expect_untouched("");
}

TEST_F(UpdateTest, OffersThatDoNotParseAreRejected) {
    root_.install("1_2_3", old_);
    start();
    // The first offer leaves Size=2500 behind: the next ones must not reuse it.
    ASSERT_TRUE(server_.send_text(offer(2500, "1.2.3")));
    EXPECT_EQ(REJECTED, server_.read_line(WAIT_MS));
    const std::vector<std::string> bad = {
        "Event=NotifyUpdateFirmware,Type=HW,Size=,Version=2.0.0\n",
        "Event=NotifyUpdateFirmware,Type=HW,Size=abc,Version=2.0.0\n",
        "Event=NotifyUpdateFirmware,Type=HW,Version=2.0.0\n",
        "Event=NotifyUpdateFirmware,Type=HW,Size=2500,Version=2.0\n",
        "Event=NotifyUpdateFirmware,Type=HW,Size=2500,Version=2.0.x\n",
        "Event=NotifyUpdateFirmware,Type=HW,Size=99999999999,Version=2.0.0\n",
        offer(0, "2.0.0"),
        offer(-5, "2.0.0"),
    };
    for (const auto &line : bad) {
        ASSERT_TRUE(server_.send_text(line));
        EXPECT_EQ(REJECTED, server_.read_line(WAIT_MS)) << line;
    }
    // Every answer was a refusal: the next line is the version answer, not a transfer request.
    expect_version("1.2.3");
    EXPECT_TRUE(updater_.wait_output("as =-5,2,0,0\n", WAIT_MS));
    expect_untouched("2_0_0");
}

// ---- transfer and installation -------------------------------------------------------------

TEST_F(UpdateTest, LowerVersionIsInstalledBehindTheLinkThenReboot) {
    root_.install("1_2_3", old_);
    start();
    std::vector<unsigned char> img = good_image();
    img.push_back(0x5A);  // a distinct file, still a program for this machine
    offer_and_send(img, "1.1.0", img.size());
    EXPECT_EQ(result("Success", "1.1.0"), server_.read_line(WAIT_MS)) << updater_.output();
    // The terminal was stopped before the result went out; the reboot follows it.
    EXPECT_EQ(0u, root_.calls().find("pkill app_ZQHW\n"));
    ASSERT_TRUE(updater_.wait_output("cmd = reboot\n", WAIT_MS)) << updater_.output();
    EXPECT_EQ("pkill app_ZQHW\nreboot\n", root_.calls());
    EXPECT_EQ(root_.bin("app_ZQHW_1_1_0"), root_.link_target());
    EXPECT_EQ(img, hmi_read_file(root_.bin("app_ZQHW")));
    struct stat st;
    ASSERT_EQ(0, stat(root_.bin("app_ZQHW_1_1_0").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    EXPECT_EQ(old_, hmi_read_file(root_.bin("app_ZQHW_1_2_3")));  // earlier versions stay
    EXPECT_FALSE(exists(root_.bin("app_ZQHW_1_1_0.part")));
    EXPECT_FALSE(exists(root_.bin("app_ZQHW.new")));
    std::string out = updater_.output();
    EXPECT_NE(std::string::npos, out.find("recvd.filename=" + root_.bin("app_ZQHW_1_1_0") +
                                          ", recvd.bytes:" + std::to_string(img.size()) + "\n"));
    EXPECT_NE(std::string::npos, out.find("ret = 0, cmd = pkill app_ZQHW\n"));
    // The HMI acknowledges; the updater answers queries with the new version until the reboot.
    ASSERT_TRUE(server_.send_text("Event=NotifyUpdateFirmwareResult,Type=HW,Status=OK\n"));
    expect_version("1.1.0");
}

TEST_F(UpdateTest, ImagesNotForThisMachineFailWithoutReboot) {
    root_.install("1_2_3", old_);
    start();
    // 2500 bytes of text: read as 1024, 1024 and 452, then refused.
    std::vector<unsigned char> text(2500, 'T');
    offer_and_send(text, "2.0.0", text.size());
    EXPECT_EQ(result("Fail", "2.0.0"), server_.read_line(WAIT_MS));
    // The updater's output reaches the test through a pipe and a reader thread, so it may lag
    // behind the socket: wait for the last line before looking at the order.
    EXPECT_TRUE(updater_.wait_output("recv chunk:452, recvd:2500\n", WAIT_MS));
    std::string out = updater_.output();
    size_t a = out.find("recv chunk:1024, recvd:1024\n");
    size_t b = out.find("recv chunk:1024, recvd:2048\n");
    size_t c = out.find("recv chunk:452, recvd:2500\n");
    EXPECT_TRUE(a != std::string::npos && b != std::string::npos && c != std::string::npos &&
                a < b && b < c)
        << out;

    std::vector<unsigned char> foreign = good_image();
#if defined(__aarch64__)
    put_u16(&foreign, offsetof(Elf64_Ehdr, e_machine), EM_X86_64);
#else
    put_u16(&foreign, offsetof(Elf64_Ehdr, e_machine), EM_AARCH64);
#endif
    std::vector<unsigned char> other_class = good_image();
    other_class[EI_CLASS] = ELFCLASS32;
    std::vector<unsigned char> other_data = good_image();
    other_data[EI_DATA] = ELFDATA2MSB;
    std::vector<unsigned char> object = good_image();
    put_u16(&object, offsetof(Elf64_Ehdr, e_type), ET_REL);
    std::vector<unsigned char> tiny = good_image();
    tiny.resize(20);  // an ELF identification without the rest of the header
    for (const auto *img : {&foreign, &other_class, &other_data, &object, &tiny}) {
        offer_and_send(*img, "2.0.0", img->size());
        EXPECT_EQ(result("Fail", "2.0.0"), server_.read_line(WAIT_MS)) << updater_.output();
    }
    expect_version("1.2.3");
    expect_untouched("2_0_0");
}

TEST_F(UpdateTest, WriteErrorAnswersFailAndKeepsTheStreamInStep) {
    root_.install("1_2_3", old_);
    updater_.limit_file_size(2000);
    start();
    std::vector<unsigned char> img = good_image();
    offer_and_send(img, "2.0.0", img.size());
    EXPECT_EQ(result("Fail", "2.0.0"), server_.read_line(WAIT_MS)) << updater_.output();
    EXPECT_TRUE(
        updater_.wait_output("write " + root_.bin("app_ZQHW_2_0_0.part") + " failed", WAIT_MS))
        << updater_.output();
    // The rest of the image was still read: the next line is understood.
    expect_version("1.2.3");
    EXPECT_TRUE(updater_.wait_output("recvd.bytes:" + std::to_string(img.size()) + "\n", WAIT_MS));
    expect_untouched("2_0_0");
}

TEST_F(UpdateTest, ConnectionCutDuringTransferLeavesInstallationAlone) {
    root_.install("1_2_3", old_);
    start();
    std::vector<unsigned char> img = good_image();
    // Cut after the acceptance (the request then meets a closed socket), after the request,
    // after part of the image and one byte short of it.
    const long cuts[] = {-2, -1, 1000, (long)img.size() - 1};
    for (long cut : cuts) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(server_.send_text(offer((long)img.size(), "2.0.0")));
        ASSERT_EQ(ACCEPTED, server_.read_line(WAIT_MS));
        if (cut >= -1) {
            ASSERT_EQ(request("2.0.0"), server_.read_line(WAIT_MS));
        }
        if (cut > 0) {
            ASSERT_TRUE(server_.send_bytes(img.data(), (size_t)cut));
        }
        server_.cut();
        // The updater survives the closed connection and comes back.
        ASSERT_TRUE(server_.accept_within(WAIT_MS)) << updater_.output();
        expect_version("1.2.3");
        expect_untouched("2_0_0");
    }
    EXPECT_TRUE(updater_.wait_output("| ret:0, errno:0\n", WAIT_MS));
    EXPECT_EQ(std::string::npos, updater_.output().find("recvd.bytes"));
}

TEST_F(UpdateTest, SilentHmiMidTransferIsGivenUp) {
    root_.install("1_2_3", old_);
    start({{"ZQ_UPDATE_RECV_TIMEOUT_MS", "300"}});
    std::vector<unsigned char> img = good_image();
    offer_and_send(img, "2.0.0", 3000);
    // The updater drops the connection after its receive time-out, then reconnects.
    EXPECT_TRUE(server_.closed_within(WAIT_MS)) << updater_.output();
    EXPECT_TRUE(updater_.wait_output("ret:-1, errno:110\n", WAIT_MS)) << updater_.output();
    ASSERT_TRUE(server_.accept_within(WAIT_MS));
    expect_version("1.2.3");
    expect_untouched("2_0_0");
}

// Killed at every installation step, the link names a complete program at all times.
TEST_F(UpdateTest, KilledAtEachStepLeavesACompleteProgramBehindTheLink) {
    std::vector<unsigned char> img = good_image();
    img.push_back(0x5A);
    struct Step {
        const char *name;
        bool switched;  // the link names the new program once the updater is gone
        const char *calls;
    };
    const Step steps[] = {
        {"download", false, ""},
        {"received", false, ""},
        {"verified", false, ""},
        {"renamed", false, ""},
        {"linked", false, ""},
        {"switched", true, ""},
        {"stopped", true, "pkill app_ZQHW\n"},
        {"success", true, "pkill app_ZQHW\n"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        unlink(root_.bin("app_ZQHW_2_0_0").c_str());
        unlink((root_.dir() + "/calls.log").c_str());
        root_.install("1_2_3", old_);
        HmiUpdater updater;
        std::map<std::string, std::string> env = {{"TCU_ROOT", root_.dir()},
                                                  {"ZQ_UPDATE_START_DELAY_MS", "0"},
                                                  {"ZQ_UPDATE_KILL_AT", step.name}};
        ASSERT_TRUE(
            updater.start(binary_, {"-i", "127.0.0.1", "-p", std::to_string(server_.port())}, env));
        ASSERT_TRUE(server_.accept_within(WAIT_MS));
        // Whatever the previous kill left beside the link is cleared at start.
        EXPECT_FALSE(exists(root_.bin("app_ZQHW_2_0_0.part")));
        EXPECT_FALSE(exists(root_.bin("app_ZQHW.new")));
        ASSERT_TRUE(server_.send_text(offer((long)img.size(), "2.0.0")));
        ASSERT_EQ(ACCEPTED, server_.read_line(WAIT_MS));
        ASSERT_EQ(request("2.0.0"), server_.read_line(WAIT_MS));
        server_.send_bytes(img.data(), img.size());  // may meet the kill half-way
        int status = 0;
        ASSERT_TRUE(updater.wait_exit(WAIT_MS, &status)) << updater.output();
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << updater.output();
        EXPECT_TRUE(updater.wait_output(std::string("killed at ") + step.name, WAIT_MS));
        if (step.switched) {
            EXPECT_EQ(root_.bin("app_ZQHW_2_0_0"), root_.link_target());
            EXPECT_EQ(img, hmi_read_file(root_.bin("app_ZQHW")));
        } else {
            EXPECT_EQ(root_.bin("app_ZQHW_1_2_3"), root_.link_target());
            EXPECT_EQ(old_, hmi_read_file(root_.bin("app_ZQHW")));
        }
        EXPECT_EQ(0, access(root_.bin("app_ZQHW").c_str(), X_OK));
        EXPECT_EQ(step.calls, root_.calls());
        updater.stop();
    }
}

}  // namespace
