// The configuration file through the loader: any bytes as the file, then, when it
// loaded completely, the write-back and a second load, which must give the same
// record (a save never changes what the terminal runs with).
#include <string>

#include "config.h"
#include "fuzz_common.h"

namespace {

std::string dir, file, copy_file;

struct record_t {
    tcu_config_t c;
    std::string texts[5];
    bool present[5];
};

record_t take(const tcu_config_t &c) {
    record_t r{c, {}, {}};
    const char *t[5] = {c.ast_tty, c.ifname, c.zqlog_ip, c.modbus_hw.serverip, c.modbus_hw.port};
    for (int i = 0; i < 5; i++) {
        r.present[i] = t[i] != nullptr;
        if (t[i] != nullptr) r.texts[i] = t[i];
    }
    return r;
}

void write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, fp) != size) abort();
    fclose(fp);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_stdout();
    // The identity switches (tcu_id "-1") are read from GPIO lines under the root.
    fuzz_private_root("fuzz_config");
    char tmpl[] = "/dev/shm/fuzz_config_files.XXXXXX";  // the write-back syncs: keep it in memory
    char *d = mkdtemp(tmpl);
    if (d == nullptr) {
        char tmpl2[] = "/tmp/fuzz_config_files.XXXXXX";
        d = mkdtemp(tmpl2);
        if (d == nullptr) abort();
    }
    dir = d;
    file = dir + "/tcu_config.json";
    copy_file = dir + "/copy.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    write_file(file, data, size);
    tcu_config_init(file.c_str());
    record_t first = take(tcu_config);
    // Write-back to another file (a record that did not load completely is refused,
    // leaving no file), then load that file.
    unlink(copy_file.c_str());
    tcu_config_save(copy_file.c_str());
    if (access(copy_file.c_str(), F_OK) == 0) {
        tcu_config_init(copy_file.c_str());
        record_t second = take(tcu_config);
        const tcu_config_t &a = first.c, &b = second.c;
        FUZZ_CHECK(a.tcu_id == b.tcu_id && a.enable_modbus_hw == b.enable_modbus_hw &&
                       a.enable_hmi == b.enable_hmi && a.enable_ocpp == b.enable_ocpp &&
                       a.zqlog_port == b.zqlog_port &&
                       a.modbus_hw.enable_ssl == b.modbus_hw.enable_ssl &&
                       a.modbus_hw.maxI_GUNA == b.modbus_hw.maxI_GUNA &&
                       a.modbus_hw.maxI_GUNB == b.modbus_hw.maxI_GUNB,
                   "numbers changed by a save and load");
        for (int i = 0; i < 5; i++) {
            FUZZ_CHECK(first.present[i] == second.present[i] && first.texts[i] == second.texts[i],
                       "text %d changed by a save and load", i);
        }
    }
    return 0;
}
