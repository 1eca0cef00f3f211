// The firmware updater seen from the HMI board: a scripted HMI on 127.0.0.1 drives the real
// zq_update program under a temporary installation root with pkill and reboot recorders.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <elf.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/emu_detect.h"
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

std::vector<unsigned char> text_bytes(const std::string &text) {
    return std::vector<unsigned char>(text.begin(), text.end());
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
    // A program for another machine is read to its end but never written: no flash is worn.
    offer_and_send(foreign, "2.0.0", foreign.size() - 1);
    ASSERT_TRUE(updater_.wait_output("recvd:" + std::to_string(foreign.size() - 1) + "\n", WAIT_MS))
        << updater_.output();
    EXPECT_FALSE(exists(root_.bin("app_ZQHW_2_0_0.part")));
    ASSERT_TRUE(server_.send_bytes(foreign.data() + foreign.size() - 1, 1));
    EXPECT_EQ(result("Fail", "2.0.0"), server_.read_line(WAIT_MS)) << updater_.output();
    for (const auto *img : {&other_class, &other_data, &object, &tiny}) {
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
        {"trial_temp", false, ""},
        {"trial", false, ""},
        {"linked", false, ""},
        {"switched", true, ""},
        {"stopped", true, "pkill app_ZQHW\n"},
        {"success", true, "pkill app_ZQHW\n"},
    };
    const std::string record = root_.dir() + "/home/root/etc/zq_update.trial";
    bool trial_seen = false;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        unlink(root_.bin("app_ZQHW_2_0_0").c_str());
        unlink((root_.dir() + "/calls.log").c_str());
        unlink(record.c_str());
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
        EXPECT_FALSE(exists(record + ".new"));
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
        // The trial record, whole, exists from its step on: before the link ever changes.
        if (std::string(step.name) == "trial") trial_seen = true;
        EXPECT_EQ(trial_seen, exists(record));
        updater.stop();
    }
}

// ---- signed images -------------------------------------------------------------------------

// Ends the stand-in terminal a test started, if it still runs (and is still that program).
struct StandIn {
    std::string pidfile;
    ~StandIn() {
        auto text = hmi_read_file(pidfile);
        int pid = atoi(std::string(text.begin(), text.end()).c_str());
        if (pid <= 0) return;
        auto comm = hmi_read_file("/proc/" + std::to_string(pid) + "/comm");
        if (std::string(comm.begin(), comm.end()) == "app_ZQHW\n") kill(pid, SIGKILL);
    }
};

// Key pairs and signed images made the way the build pipeline makes them.
class SignedUpdateTest : public UpdateTest {
  protected:
    std::string etc(const std::string &name) const {
        return root_.dir() + "/home/root/etc/" + name;
    }

    std::string make_key(const std::string &name) {
        std::string priv = root_.dir() + "/" + name + ".pem";
        std::string cmd = "openssl genpkey -algorithm ed25519 -out '" + priv + "' 2>/dev/null";
        EXPECT_EQ(0, system(cmd.c_str()));
        return priv;
    }

    void install_public_key(const std::string &priv) {
        std::string cmd =
            "openssl pkey -in '" + priv + "' -pubout -out '" + etc("zq_update.pub") + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
        chmod(etc("zq_update.pub").c_str(), 0644);
    }

    std::vector<unsigned char> sign(const std::vector<unsigned char> &program,
                                    const std::string &version, const std::string &key) {
        std::string in = root_.dir() + "/program", out = root_.dir() + "/signed";
        hmi_write_file(in, program, 0644);
        std::string cmd = "bash " TCU_SOURCE_DIR "/scripts/sign_image.sh '" + key + "' '" + in +
                          "' " + version + " '" + out + "' >/dev/null";
        EXPECT_EQ(0, system(cmd.c_str()));
        auto img = hmi_read_file(out);
        EXPECT_EQ(program.size() + 128, img.size());
        return img;
    }

    // The image is received and answered "Fail"; nothing is installed, stopped or rebooted.
    void expect_fail(const std::vector<unsigned char> &img, const std::string &v,
                     const std::string &trace) {
        SCOPED_TRACE(trace);
        offer_and_send(img, v, img.size());
        EXPECT_EQ(result("Fail", v), server_.read_line(WAIT_MS)) << updater_.output();
        EXPECT_TRUE(updater_.wait_output(trace, WAIT_MS)) << updater_.output();
        std::string file = v;
        for (char &c : file) {
            if (c == '.') c = '_';
        }
        expect_untouched(file);
        EXPECT_FALSE(exists(etc("zq_update.trial")));
    }

    std::vector<unsigned char> program_ = [] {
        auto p = good_image();
        p.push_back(0x5A);
        return p;
    }();
};

TEST_F(SignedUpdateTest, WithTheKeyOnlyAValidSignatureForTheOfferedVersionInstalls) {
    root_.install("1_2_3", old_);
    const std::string key = make_key("vendor"), other = make_key("other");
    install_public_key(key);
    start();
    EXPECT_TRUE(updater_.wait_output("images must be signed by the key in " + etc("zq_update.pub"),
                                     WAIT_MS));
    const auto good = sign(program_, "2.0.0", key);
    const size_t n = program_.size();

    expect_fail(program_, "2.0.0", "image not signed: refused");
    expect_fail(sign(program_, "2.0.0", other), "2.0.0", "signature does not verify");
    expect_fail(sign(program_, "2.0.1", key), "2.0.0",
                "signature trailer refused: names another version");
    auto flipped = good;
    flipped[1000] ^= 0x01;  // in the program
    expect_fail(flipped, "2.0.0", "signature does not verify");
    flipped = good;
    flipped[n + 16] ^= 0x01;  // version 3.0.0 in the trailer, offered as such
    expect_fail(flipped, "3.0.0", "signature does not verify");
    flipped = good;
    flipped[n + 127] ^= 0x40;  // in the signature (S)
    expect_fail(flipped, "2.0.0", "signature does not verify");
    std::vector<unsigned char> tiny(good.end() - 100, good.end());  // shorter than a trailer
    expect_fail(tiny, "2.0.0", "image not signed: refused");
    auto wrong_n = good;
    wrong_n[n + 8] ^= 0x01;  // the magic is right, N is not
    expect_fail(wrong_n, "2.0.0", "signature trailer refused: program length does not match Size");
    // The signing tool refuses version numbers beyond 16 bits before any arithmetic wraps them.
    for (const char *v : {"65536.0.0", "18446744073709551617.0.0"}) {
        std::string cmd = "bash " TCU_SOURCE_DIR "/scripts/sign_image.sh '" + key + "' '" +
                          root_.bin("app_ZQHW_1_2_3") + "' " + v + " '" + root_.dir() +
                          "/wrapped' 2>/dev/null";
        EXPECT_NE(0, system(cmd.c_str())) << v;
        EXPECT_FALSE(exists(root_.dir() + "/wrapped")) << v;
    }

    offer_and_send(good, "2.0.0", good.size());
    EXPECT_EQ(result("Success", "2.0.0"), server_.read_line(WAIT_MS)) << updater_.output();
    EXPECT_TRUE(updater_.wait_output("signature verified, version 2.0.0", WAIT_MS));
    // The trailer is not installed: the file is the built program byte for byte.
    EXPECT_EQ(program_, hmi_read_file(root_.bin("app_ZQHW_2_0_0")));
    EXPECT_EQ(root_.bin("app_ZQHW_2_0_0"), root_.link_target());
    ASSERT_TRUE(updater_.wait_output("cmd = reboot\n", WAIT_MS)) << updater_.output();
    EXPECT_EQ("pkill app_ZQHW\nreboot\n", root_.calls());
}

// A key file that exists but cannot be trusted or read fails every image, closed.
TEST_F(SignedUpdateTest, KeyFileThatCannotBeUsedFailsEveryImage) {
    root_.install("1_2_3", old_);
    const std::string key = make_key("vendor");
    install_public_key(key);
    const auto pem = hmi_read_file(etc("zq_update.pub"));
    std::string x25519 = root_.dir() + "/x.pem";
    ASSERT_EQ(0, system(("openssl genpkey -algorithm x25519 2>/dev/null | openssl pkey -pubout "
                         "-out '" +
                         x25519 + "'")
                            .c_str()));
    struct Case {
        const char *name;
        std::vector<unsigned char> text;
        int mode;
        const char *why;
    };
    const Case cases[] = {
        {"empty", {}, 0644, "no Ed25519 public key in PEM"},
        {"truncated", std::vector<unsigned char>(pem.begin(), pem.begin() + 50), 0644,
         "no Ed25519 public key in PEM"},
        {"other algorithm", hmi_read_file(x25519), 0644, "no Ed25519 public key in PEM"},
        {"group-writable", pem, 0664, "group- or other-writable"},
        // The neutral point: one forged signature (R = B, S = 1) would verify every image.
        {"small order",
         text_bytes("-----BEGIN PUBLIC KEY-----\n"
                    "MCowBQYDK2VwAyEAAQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n"
                    "-----END PUBLIC KEY-----\n"),
         0644, "a key of small order"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(etc("zq_update.pub").c_str());
        hmi_write_file(etc("zq_update.pub"), c.text, c.mode);
        chmod(etc("zq_update.pub").c_str(), (mode_t)c.mode);  // whatever the umask did
        HmiUpdater upd;
        std::map<std::string, std::string> env = {{"TCU_ROOT", root_.dir()},
                                                  {"ZQ_UPDATE_START_DELAY_MS", "0"}};
        ASSERT_TRUE(
            upd.start(binary_, {"-i", "127.0.0.1", "-p", std::to_string(server_.port())}, env));
        EXPECT_TRUE(
            upd.wait_output(std::string("unusable (") + c.why + "): every image fails", WAIT_MS))
            << upd.output();
        ASSERT_TRUE(server_.accept_within(WAIT_MS));
        upd.stop();
    }
    // A key behind a symbolic link is not the file itself.
    unlink(etc("zq_update.pub").c_str());
    hmi_write_file(etc("real.pub"), pem, 0644);
    ASSERT_EQ(0, symlink(etc("real.pub").c_str(), etc("zq_update.pub").c_str()));
    start();
    EXPECT_TRUE(updater_.wait_output("unusable (cannot be read): every image fails", WAIT_MS))
        << updater_.output();
    expect_fail(sign(program_, "2.0.0", key), "2.0.0",
                "key file unusable (cannot be read): image refused");
}

// Without a key file anything is accepted as before; a signed image still loses its trailer.
// Installing leaves every earlier version, writes the trial record and waits for the terminal
// to stop.
TEST_F(SignedUpdateTest, WithoutKeySignedImageInstallsWithoutTrailer) {
    root_.install("1_2_3", old_);
    for (const char *older : {"app_ZQHW_0_9_0", "app_ZQHW_1_0_0", "app_ZQHW_backup"}) {
        hmi_write_file(root_.bin(older), old_, 0755);
    }
    // A stand-in terminal that takes a second for its orderly stop after pkill's SIGTERM.
    const std::string term = root_.dir() + "/run/app_ZQHW";
    ASSERT_EQ(0, system(("mkdir -p '" + root_.dir() + "/run'").c_str()));
    const std::string script = "#!/bin/sh\ntrap 'sleep 1; echo terminal stopped >> \"" +
                               root_.dir() + "/calls.log\"; exit 0' TERM\necho $$ > \"" +
                               root_.dir() + "/terminal.pid\"\nwhile :; do sleep 0.1; done\n";
    hmi_write_file(term, std::vector<unsigned char>(script.begin(), script.end()), 0755);
    ASSERT_EQ(0,
              system(("TCU_ROOT='" + root_.dir() + "' '" + term + "' >/dev/null 2>&1 &").c_str()));
    for (int i = 0; i < 200 && !exists(root_.dir() + "/terminal.pid"); i++) usleep(20000);
    ASSERT_TRUE(exists(root_.dir() + "/terminal.pid"));
    StandIn stand_in{root_.dir() + "/terminal.pid"};

    start();
    EXPECT_TRUE(updater_.wait_output("images are not verified", WAIT_MS)) << updater_.output();
    const auto img = sign(program_, "2.0.0", make_key("vendor"));
    // A trailer whose reserved bytes are not zero is no trailer of ours, key or not.
    auto reserved = img;
    reserved[program_.size() + 40] = 0x01;
    expect_fail(reserved, "2.0.0", "signature trailer refused: reserved bytes not zero");
    offer_and_send(img, "2.0.0", img.size());
    EXPECT_EQ(result("Success", "2.0.0"), server_.read_line(WAIT_MS)) << updater_.output();
    // The terminal had stopped before the result went out.
    EXPECT_EQ(0u, root_.calls().find("pkill app_ZQHW\nterminal stopped\n")) << root_.calls();
    EXPECT_TRUE(
        updater_.wait_output("no key file: signature not checked, trailer removed", WAIT_MS));
    EXPECT_EQ(program_, hmi_read_file(root_.bin("app_ZQHW_2_0_0")));
    EXPECT_EQ(root_.bin("app_ZQHW_2_0_0"), root_.link_target());
    // Earlier versions and a technician's file beside them stay.
    for (const char *older :
         {"app_ZQHW_1_2_3", "app_ZQHW_0_9_0", "app_ZQHW_1_0_0", "app_ZQHW_backup"})
        EXPECT_EQ(old_, hmi_read_file(root_.bin(older))) << older;
    // The way back, one path per line.
    auto record = hmi_read_file(etc("zq_update.trial"));
    EXPECT_EQ(root_.bin("app_ZQHW_2_0_0") + "\n" + root_.bin("app_ZQHW_1_2_3") + "\n",
              std::string(record.begin(), record.end()));
    ASSERT_TRUE(updater_.wait_output("cmd = reboot\n", WAIT_MS)) << updater_.output();
    EXPECT_EQ("pkill app_ZQHW\nterminal stopped\nreboot\n", root_.calls());
}

// A maker's release: the key built in is the only one (a key file on the board is not read)
// and versions below the floor built in (1.0.0) are rejected, as the HMI protocol never
// replaces the updater itself.
TEST_F(SignedUpdateTest, BuiltInKeyAndFloorDecideWhateverLiesOnTheBoard) {
    binary_ = TCU_BINARY_DIR "/tests/zq_update_builtin";
    const std::string builtin = TCU_BINARY_DIR "/tests/zq_update_builtin.key";
    if (access(binary_.c_str(), X_OK) != 0) GTEST_SKIP() << "no updater built with a key";
    root_.install("1_2_3", old_);
    const std::string board = make_key("board");
    install_public_key(board);
    start();
    EXPECT_TRUE(updater_.wait_output(
        "images must be signed by the built-in key; " + etc("zq_update.pub") + " is not read",
        WAIT_MS))
        << updater_.output();
    EXPECT_TRUE(updater_.wait_output("versions below 1.0.0 are refused", WAIT_MS));
    ASSERT_TRUE(server_.send_text(offer(2500, "0.9.9")));
    EXPECT_EQ(REJECTED, server_.read_line(WAIT_MS));
    EXPECT_TRUE(updater_.wait_output("version 0.9.9 below the floor 1.0.0: refused", WAIT_MS));
    expect_fail(sign(program_, "1.1.0", board), "1.1.0", "signature does not verify");
    expect_fail(program_, "1.1.0", "image not signed: refused");
    const auto good = sign(program_, "1.1.0", builtin);
    offer_and_send(good, "1.1.0", good.size());
    EXPECT_EQ(result("Success", "1.1.0"), server_.read_line(WAIT_MS)) << updater_.output();
    EXPECT_TRUE(updater_.wait_output("signature verified, version 1.1.0", WAIT_MS));
    EXPECT_EQ(root_.bin("app_ZQHW_1_1_0"), root_.link_target());
}

// ---- offers the board can hold -------------------------------------------------------------

TEST_F(UpdateTest, OffersBeyondTheCapOrTheFreeSpaceAreRejected) {
    root_.install("1_2_3", old_);
    struct statvfs fs;
    ASSERT_EQ(0, statvfs(root_.bin("").c_str(), &fs));
    const long long avail = (long long)fs.f_bavail * (long long)fs.f_frsize;
    ASSERT_GT(avail, 2LL * 1024 * 1024);
    // Host runs move the margin so that only about 1 MiB counts as free.
    hmi_write_file(root_.bin("app_ZQHW_backup"), old_, 0755);  // a technician's copy
    start({{"ZQ_UPDATE_SPACE_MARGIN", std::to_string(avail - 1024 * 1024)}});
    ASSERT_TRUE(server_.send_text(offer(64L * 1024 * 1024 + 1, "2.0.0")));
    EXPECT_EQ(REJECTED, server_.read_line(WAIT_MS));
    EXPECT_TRUE(updater_.wait_output("Size 67108865 beyond the 67108864-byte limit", WAIT_MS));
    // Exactly 64 MiB is within the cap: only the free space refuses it here. The line says what
    // is missing and which version files a technician could remove; none is removed.
    ASSERT_TRUE(server_.send_text(offer(64L * 1024 * 1024, "2.0.0")));
    EXPECT_EQ(REJECTED, server_.read_line(WAIT_MS));
    EXPECT_TRUE(updater_.wait_output("Size 67108864 beyond the free space of", WAIT_MS))
        << updater_.output();
    EXPECT_EQ(std::string::npos, updater_.output().find("Size 67108864 beyond the 67108864"));
    const std::string kib = std::to_string(old_.size() / 1024);
    EXPECT_TRUE(updater_.wait_output("app_ZQHW_1_2_3 (" + kib + " KiB, linked)", WAIT_MS))
        << updater_.output();
    EXPECT_TRUE(updater_.wait_output("app_ZQHW_backup (" + kib + " KiB)", WAIT_MS));
    expect_version("1.2.3");
    expect_untouched("2_0_0");
    EXPECT_EQ(old_, hmi_read_file(root_.bin("app_ZQHW_backup")));
}

TEST_F(UpdateTest, TransferThatTricklesIsAbandonedAtTheDeadline) {
    root_.install("1_2_3", old_);
    start({{"ZQ_UPDATE_TRANSFER_DEADLINE_MS", "1500"}});
    std::vector<unsigned char> img = good_image();
    offer_and_send(img, "2.0.0", 1);
    // A byte every 200 ms never lets the receive time-out (3 s) strike; the deadline does.
    bool closed = false;
    for (size_t i = 1; i < 50 && !closed; i++) {
        server_.send_bytes(img.data() + i, 1);
        closed = server_.closed_within(200);
    }
    EXPECT_TRUE(closed) << updater_.output();
    EXPECT_TRUE(updater_.wait_output("transfer not complete after 1500 ms, given up", WAIT_MS));
    ASSERT_TRUE(server_.accept_within(WAIT_MS));
    expect_version("1.2.3");
    expect_untouched("2_0_0");
}

// ---- faults no other test catches ----------------------------------------------------------

// An offer that differs from the installed version only in its third number is another version.
TEST_F(UpdateTest, OfferDifferingOnlyInTheThirdNumberIsAccepted) {
    root_.install("1_2_3", old_);
    start();
    ASSERT_TRUE(server_.send_text(offer(2500, "1.2.4")));
    EXPECT_EQ(ACCEPTED, server_.read_line(WAIT_MS)) << updater_.output();
    EXPECT_EQ(request("1.2.4"), server_.read_line(WAIT_MS));
}

// The HMI's next line follows the image in the same stream: the download stops at Size.
TEST_F(UpdateTest, DownloadReadsNoFurtherThanSize) {
    root_.install("1_2_3", old_);
    start();
    std::vector<unsigned char> text(2500, 'T');
    std::vector<unsigned char> both = text;
    both.insert(both.end(), QUERY.begin(), QUERY.end());
    ASSERT_TRUE(server_.send_text(offer((long)text.size(), "2.0.0")));
    ASSERT_EQ(ACCEPTED, server_.read_line(WAIT_MS));
    ASSERT_EQ(request("2.0.0"), server_.read_line(WAIT_MS));
    ASSERT_TRUE(server_.send_bytes(both.data(), both.size()));
    EXPECT_EQ(result("Fail", "2.0.0"), server_.read_line(WAIT_MS)) << updater_.output();
    EXPECT_EQ(version_answer("1.2.3"), server_.read_line(WAIT_MS)) << updater_.output();
    EXPECT_TRUE(updater_.wait_output("recvd.bytes:2500\n", WAIT_MS));
}

// ---- seen from the HMI --------------------------------------------------------------------------
// Offer tails, unusual link targets, connection retries, the default port, a file that cannot
// be created. Their own fixture: 1.2.3 installed from the updater's own image, only the start
// delay cut.

class UpdateFromHmi : public testing::Test {
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
TEST_F(UpdateFromHmi, OfferTailIsNotReadAndVersionNumbersMayBeNegative) {
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
TEST_F(UpdateFromHmi, InstalledVersionFromFirstVersionedNameInTheTarget) {
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
TEST_F(UpdateFromHmi, ConnectRetriesUntilTheHmiListens) {
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
TEST_F(UpdateFromHmi, DefaultPort) {
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
TEST_F(UpdateFromHmi, FileThatCannotBeCreatedAnswersFail) {
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

// ---- trial boot ----------------------------------------------------------------------------

class TrialTest : public UpdateTest {
  protected:
    std::string record() const { return root_.dir() + "/home/root/etc/zq_update.trial"; }

    // The state right after an installation: the link names 2.0.0 on trial, 1.2.3 is the way back.
    void on_trial() {
        root_.install("1_2_3", old_);
        new_ = good_image();
        new_.push_back(0x5A);
        root_.install("2_0_0", new_);
        std::string text = root_.bin("app_ZQHW_2_0_0") + "\n" + root_.bin("app_ZQHW_1_2_3") + "\n";
        hmi_write_file(record(), std::vector<unsigned char>(text.begin(), text.end()), 0644);
    }

    void start_trial(const std::string &confirm_ms, const std::string &window_ms) {
        start({{"ZQ_UPDATE_TRIAL_CONFIRM_MS", confirm_ms}, {"ZQ_UPDATE_TRIAL_WAIT_MS", window_ms}});
    }

    // Runs an installed version as its own process, as the board's service manager would. The
    // files are copies of the updater, which sleeps through its start delay (an hour here) under
    // a root of its own, where no installation sees it as a terminal to stop.
    void run_program(HmiUpdater *proc, const std::string &version) {
        ASSERT_TRUE(proc->start(
            root_.bin("app_ZQHW_" + version), {},
            {{"TCU_ROOT", root_.dir() + "/elsewhere"}, {"ZQ_UPDATE_START_DELAY_MS", "3600000"}}));
    }

    std::vector<unsigned char> new_;
};

// The window ends on time with the HMI connected. Only a process of the new file counts: the
// previous program still running proves nothing. The version answer then follows the link.
TEST_F(TrialTest, VersionThatNeverRunsIsRolledBackWhileTheHmiIsConnected) {
    TCU_SKIP_UNDER_EMULATION("/proc/PID/exe names the emulator, not the program");
    on_trial();
    HmiUpdater previous;
    run_program(&previous, "1_2_3");
    start_trial("300", "1500");
    EXPECT_TRUE(updater_.wait_output(root_.bin("app_ZQHW_2_0_0") +
                                         " did not run 300 ms without a break: back to " +
                                         root_.bin("app_ZQHW_1_2_3"),
                                     WAIT_MS))
        << updater_.output();
    ASSERT_TRUE(updater_.wait_output("cmd = reboot\n", WAIT_MS)) << updater_.output();
    EXPECT_EQ(root_.bin("app_ZQHW_1_2_3"), root_.link_target());
    EXPECT_FALSE(exists(record()));
    EXPECT_EQ("reboot\n", root_.calls());
    EXPECT_EQ(new_, hmi_read_file(root_.bin("app_ZQHW_2_0_0")));  // kept, only not named
    expect_version("1.2.3");
}

// Killed at every step of a rollback, the link names a complete program, and the next start
// finishes the rollback.
TEST_F(TrialTest, RollbackKilledAtEachStepIsFinishedByTheNextStart) {
    for (const char *step : {"rollback_linked", "rollback_switched", "rollback_removed"}) {
        SCOPED_TRACE(step);
        unlink((root_.dir() + "/calls.log").c_str());
        on_trial();
        HmiUpdater killed;
        std::map<std::string, std::string> env = {{"TCU_ROOT", root_.dir()},
                                                  {"ZQ_UPDATE_START_DELAY_MS", "0"},
                                                  {"ZQ_UPDATE_TRIAL_WAIT_MS", "0"},
                                                  {"ZQ_UPDATE_KILL_AT", step}};
        ASSERT_TRUE(
            killed.start(binary_, {"-i", "127.0.0.1", "-p", std::to_string(server_.port())}, env));
        int status = 0;
        ASSERT_TRUE(killed.wait_exit(WAIT_MS, &status)) << killed.output();
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << killed.output();
        EXPECT_EQ(0, access(root_.bin("app_ZQHW").c_str(), X_OK));
        const bool removed = std::string(step) == "rollback_removed";
        EXPECT_EQ(!removed, exists(record()));
        EXPECT_EQ("", root_.calls());
        killed.stop();
        HmiUpdater next;
        env.erase("ZQ_UPDATE_KILL_AT");
        ASSERT_TRUE(
            next.start(binary_, {"-i", "127.0.0.1", "-p", std::to_string(server_.port())}, env));
        ASSERT_TRUE(server_.accept_within(WAIT_MS)) << next.output();
        EXPECT_EQ(root_.bin("app_ZQHW_1_2_3"), root_.link_target());
        EXPECT_FALSE(exists(record()));
        EXPECT_FALSE(exists(root_.bin("app_ZQHW.new")));
        EXPECT_EQ(removed ? "" : "reboot\n", root_.calls());
        next.stop();
    }
}

TEST_F(TrialTest, RecordNamingMissingFilesIsRemovedAndNothingElse) {
    on_trial();
    unlink(root_.bin("app_ZQHW_1_2_3").c_str());
    start({{"ZQ_UPDATE_TRIAL_WAIT_MS", "0"}});
    EXPECT_TRUE(updater_.wait_output("trial record names files that no longer exist", WAIT_MS));
    EXPECT_FALSE(exists(record()));
    EXPECT_EQ(root_.bin("app_ZQHW_2_0_0"), root_.link_target());
    expect_version("2.0.0");
    EXPECT_EQ("", root_.calls());
}

// A process running the new file for the confirmation period keeps the version, without any
// code of its own for it: an older build or a downgrade is kept like any version that runs.
TEST_F(TrialTest, NewProgramThatRunsIsKept) {
    TCU_SKIP_UNDER_EMULATION("/proc/PID/exe names the emulator, not the program");
    on_trial();
    HmiUpdater program;
    run_program(&program, "2_0_0");
    start_trial("300", "60000");
    EXPECT_TRUE(updater_.wait_output(
        root_.bin("app_ZQHW_2_0_0") + " runs as pid " + std::to_string(program.pid()) + "\n",
        WAIT_MS))
        << updater_.output();
    EXPECT_TRUE(updater_.wait_output(root_.bin("app_ZQHW_2_0_0") + " confirmed: ran", WAIT_MS))
        << updater_.output();
    EXPECT_FALSE(exists(record()));
    expect_version("2.0.0");
    EXPECT_EQ(root_.bin("app_ZQHW_2_0_0"), root_.link_target());
    EXPECT_EQ("", root_.calls());
}

// A program that ends and is started again, over and over, never adds up to the period: every
// run counts on its own and the window ends in a rollback. Each run lasts 0.2 s against a
// period of 2 s.
TEST_F(TrialTest, ProgramRestartedAgainAndAgainIsRolledBack) {
    TCU_SKIP_UNDER_EMULATION("/proc/PID/exe names the emulator, not the program");
    std::vector<unsigned char> sleeper = hmi_read_file("/usr/bin/sleep");
    if (sleeper.size() < 4 || memcmp(sleeper.data(),
                                     "\x7f"
                                     "ELF",
                                     4) != 0)
        GTEST_SKIP() << "no /usr/bin/sleep program to run as the new version";
    on_trial();
    unlink(root_.bin("app_ZQHW_2_0_0").c_str());
    hmi_write_file(root_.bin("app_ZQHW_2_0_0"), sleeper, 0755);
    start_trial("2000", "4000");
    const std::string rolled_back = "app_ZQHW_2_0_0 did not run 2000 ms without a break";
    for (int i = 0; i < 200 && updater_.output().find(rolled_back) == std::string::npos; i++) {
        HmiUpdater run;
        ASSERT_TRUE(run.start(root_.bin("app_ZQHW_2_0_0"), {"0.2"}, {}));
        run.wait_exit(WAIT_MS, nullptr);
    }
    EXPECT_TRUE(updater_.wait_output(rolled_back, WAIT_MS)) << updater_.output();
    ASSERT_TRUE(updater_.wait_output("cmd = reboot\n", WAIT_MS)) << updater_.output();
    EXPECT_EQ(std::string::npos, updater_.output().find("confirmed")) << updater_.output();
    EXPECT_EQ(root_.bin("app_ZQHW_1_2_3"), root_.link_target());
    EXPECT_EQ("reboot\n", root_.calls());
}

// The HMI is served while a version is on trial, and an offer then is taken like any other;
// the way back stays the last confirmed version, never the one still on trial.
TEST_F(TrialTest, OfferDuringTheTrialKeepsTheLastConfirmedVersionAsTheWayBack) {
    on_trial();
    start_trial("60000", "60000");
    expect_version("2.0.0");
    std::vector<unsigned char> img = good_image();
    img.push_back(0x77);
    offer_and_send(img, "3.0.0", img.size());
    EXPECT_EQ(result("Success", "3.0.0"), server_.read_line(WAIT_MS)) << updater_.output();
    EXPECT_EQ(root_.bin("app_ZQHW_3_0_0"), root_.link_target());
    auto text = hmi_read_file(record());
    EXPECT_EQ(root_.bin("app_ZQHW_3_0_0") + "\n" + root_.bin("app_ZQHW_1_2_3") + "\n",
              std::string(text.begin(), text.end()));
    EXPECT_EQ(new_, hmi_read_file(root_.bin("app_ZQHW_2_0_0")));
    EXPECT_EQ(old_, hmi_read_file(root_.bin("app_ZQHW_1_2_3")));
}

}  // namespace
