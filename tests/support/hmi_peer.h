// Scripted HMI board for the updater tests: a TCP server on 127.0.0.1 that speaks the update
// protocol line by line, the updater program run as a child process with its output captured,
// and a temporary installation root with recorder scripts in place of pkill and reboot.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The HMI side of one listening socket and its current connection.
class HmiServer {
  public:
    HmiServer();
    ~HmiServer();
    int port() const { return port_; }
    bool accept_within(int timeout_ms);
    bool send_bytes(const void *data, size_t len);
    bool send_text(const std::string &text) { return send_bytes(text.data(), text.size()); }
    // One line up to and including its line feed; empty on time-out or close.
    std::string read_line(int timeout_ms);
    // When the kernel took in the last byte of the line read_line returned last
    // (CLOCK_REALTIME, ns): pauses of the updater measured between two of these do
    // not shrink when the test itself is descheduled.
    int64_t line_arrival_ns() const { return line_ns_; }
    // True when the updater sends nothing for ms milliseconds.
    bool quiet_for(int ms);
    // True when the updater closes the connection within timeout_ms.
    bool closed_within(int timeout_ms);
    void cut();

  private:
    int listen_fd_ = -1;
    int conn_ = -1;
    int port_ = 0;
    std::string pending_;
    // Arrival time of each received chunk, by the offset in pending_ where it ends.
    std::vector<std::pair<size_t, int64_t>> chunk_ns_;
    int64_t line_ns_ = 0;
};

// The updater as a separate process; its standard output is collected line by line.
class HmiUpdater {
  public:
    HmiUpdater() = default;
    ~HmiUpdater();
    bool start(const std::string &binary, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &env);
    bool wait_output(const std::string &needle, int timeout_ms);
    std::string output();
    // Waits for the process to end; true with its wait status when it did.
    bool wait_exit(int timeout_ms, int *status);
    void stop();
    pid_t pid() const { return pid_; }
    // Limits the size of any file the updater writes (RLIMIT_FSIZE), to provoke write errors.
    void limit_file_size(long bytes) { fsize_limit_ = bytes; }

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_;
    bool reaped_ = false;
    long fsize_limit_ = -1;
};

// A temporary TCU_ROOT: home/root/bin for the programs, bin/ with pkill and reboot recorders
// that append their command line to calls.log.
class HmiRoot {
  public:
    HmiRoot();
    ~HmiRoot();
    const std::string &dir() const { return dir_; }
    std::string bin(const std::string &name) const { return dir_ + "/home/root/bin/" + name; }
    std::string calls() const;
    // Installs bytes as app_ZQHW_a_b_c and points the link at it by its absolute path.
    void install(const std::string &version, const std::vector<unsigned char> &bytes);
    std::string link_target() const;

  private:
    std::string dir_;
};

std::vector<unsigned char> hmi_read_file(const std::string &path);
void hmi_write_file(const std::string &path, const std::vector<unsigned char> &bytes, int mode);
