// The configuration file: every value is a JSON string (numbers as decimal text),
// the power-unit settings sit in the nested object "modbus_hw". Loaded once on the
// main thread before the workers start; saved back at shutdown.
#include "config.h"

#include <array>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "adcgpio.h"
#include "logger.h"

tcu_config_t tcu_config;

namespace {

enum class load_state {
    none,        // tcu_config_init not called: the record is whatever the caller set
    ok,          // every key present was a string
    failed,      // no file, unreadable, or not a JSON object: the record is all zero
    incomplete,  // a key was present with a value that is not a string
};

load_state config_state = load_state::none;
std::array<char, 4096> config_source{};  // the file tcu_config_init read, for the write-back

// Texts the loader allocated; freed only when the record is loaded again, so the
// pointers handed out at start-up stay valid for the life of the process.
std::array<char *, 6> owned_texts{};
size_t owned_count = 0;

constexpr long config_max_size = 1 << 20;  // a settings file is a few hundred bytes

void release_texts(void) {
    for (size_t i = 0; i < owned_count; i++) {
        free(owned_texts[i]);
        owned_texts[i] = nullptr;
    }
    owned_count = 0;
}

// The whole file as a NUL-terminated text (caller frees), or null.
char *read_file(const char *path) {
    FILE *fp = fopen(path, "rbe");
    if (fp == nullptr) {
        TCU_LOG(4, "filanem:%s\n", path);
        return nullptr;
    }
    char *text = nullptr;
    long length = -1;
    if (fseek(fp, 0, SEEK_END) == 0) length = ftell(fp);
    if (length >= 0 && length <= config_max_size && fseek(fp, 0, SEEK_SET) == 0) {
        text = static_cast<char *>(malloc((size_t)length + 1));
        if (text != nullptr && fread(text, 1, (size_t)length, fp) != (size_t)length) {
            free(text);
            text = nullptr;
        }
    }
    fclose(fp);
    if (text == nullptr) {
        TCU_LOG(4, "filanem:%s\n", path);
        return nullptr;
    }
    text[length] = '\0';
    return text;
}

// The value text of `key`, or null with one log line naming the key. `bad` counts
// keys that are present but hold something other than a string.
const char *config_text(const cJSON *parent, const char *key, int *bad) {
    if (parent == nullptr) return nullptr;  // the missing parent has been named already
    const cJSON *item = cJSON_GetObjectItem(parent, key);
    if (item == nullptr) {
        TCU_LOG(1, "config key \"%s\" missing\n", key);
        return nullptr;
    }
    if (!cJSON_IsString(item) || item->valuestring == nullptr) {
        TCU_LOG(1, "config key \"%s\" is not a string\n", key);
        (*bad)++;
        return nullptr;
    }
    return item->valuestring;
}

// Base-10 strtol, then cut to the field's width: "70000" in 16 bits is 4464.
int16_t config_int16(const char *text) {
    return text != nullptr ? (int16_t)strtol(text, nullptr, 10) : 0;
}

int32_t config_int32(const char *text) {
    return text != nullptr ? (int32_t)strtol(text, nullptr, 10) : 0;
}

char *config_copy(const char *text, const char *key) {
    if (text == nullptr) return nullptr;
    char *copy = strdup(text);
    if (copy == nullptr) {
        TCU_LOG(1, "config key \"%s\": out of memory\n", key);
        return nullptr;
    }
    if (owned_count < owned_texts.size()) owned_texts[owned_count++] = copy;
    return copy;
}

// Fills the record in the file's key order. Returns the number of keys present
// with a value that is not a string (0: everything present loaded).
int tcu_config_load(const cJSON *root, tcu_config_t *config) {
    int bad = 0;
    const cJSON *hw = cJSON_GetObjectItem(root, "modbus_hw");
    if (hw == nullptr) {
        TCU_LOG(1, "config key \"modbus_hw\" missing\n");
    } else if (!cJSON_IsObject(hw)) {
        TCU_LOG(1, "config key \"modbus_hw\" is not an object\n");
        bad++;
        hw = nullptr;
    }

    const char *id_text = config_text(root, "tcu_id", &bad);
    config->tcu_id = config_int16(id_text);
    // -1 (also "-01", or "65535" once cut to 16 bits) asks for the identity switches.
    if (id_text != nullptr && config->tcu_id == -1) config->tcu_id = (int16_t)get_TCUID();
    config->enable_modbus_hw = config_int16(config_text(root, "enable_modbus_hw", &bad));
    config->enable_hmi = config_int16(config_text(root, "enable_hmi", &bad));
    config->enable_ocpp = config_int16(config_text(root, "enable_ocpp", &bad));
    config->ast_tty = config_copy(config_text(root, "ast_tty", &bad), "ast_tty");
    config->ifname = config_copy(config_text(root, "ifname", &bad), "ifname");
    config->zqlog_ip = config_copy(config_text(root, "zqlog_ip", &bad), "zqlog_ip");
    config->zqlog_port = config_int32(config_text(root, "zqlog_port", &bad));
    config->modbus_hw.serverip = config_copy(config_text(hw, "serverip", &bad), "serverip");
    config->modbus_hw.port = config_copy(config_text(hw, "port", &bad), "port");
    config->modbus_hw.enable_ssl = config_int16(config_text(hw, "enable_ssl", &bad));
    config->modbus_hw.maxI_GUNA = config_int16(config_text(hw, "maxI_GUNA", &bad));
    config->modbus_hw.maxI_GUNB = config_int16(config_text(hw, "maxI_GUNB", &bad));
    // Optional keys: their absence is the normal case and is not logged.
    if (hw != nullptr && cJSON_GetObjectItem(hw, "server_name") != nullptr) {
        config->modbus_hw.server_name =
            config_copy(config_text(hw, "server_name", &bad), "server_name");
    }
    if (hw != nullptr && cJSON_GetObjectItem(hw, "tls_ciphers") != nullptr) {
        config->modbus_hw.tls_ciphers =
            config_copy(config_text(hw, "tls_ciphers", &bad), "tls_ciphers");
    }
    return bad;
}

// Decimal text of value into buff (256 bytes); the file holds decimal only.
char *itoa_c(int value, char *buff, int radix) {
    (void)radix;
    snprintf(buff, 256, "%d", value);
    return buff;
}

// An absent text stays absent in the file rather than becoming "".
bool add_text(cJSON *object, const char *key, const char *text) {
    return text == nullptr || cJSON_AddStringToObject(object, key, text) != nullptr;
}

bool add_number(cJSON *object, const char *key, int value) {
    char buff[256];
    return cJSON_AddStringToObject(object, key, itoa_c(value, buff, 10)) != nullptr;
}

// The record as JSON text (caller frees with cJSON_free), or null.
char *config_print(const tcu_config_t *config) {
    cJSON *root = cJSON_CreateObject();
    cJSON *hw = cJSON_CreateObject();
    char *text = nullptr;
    if (root != nullptr && hw != nullptr && add_number(root, "tcu_id", config->tcu_id) &&
        add_number(root, "enable_modbus_hw", config->enable_modbus_hw) &&
        add_number(root, "enable_hmi", config->enable_hmi) &&
        add_number(root, "enable_ocpp", config->enable_ocpp) &&
        add_text(root, "ast_tty", config->ast_tty) && add_text(root, "ifname", config->ifname) &&
        add_text(root, "zqlog_ip", config->zqlog_ip) &&
        add_number(root, "zqlog_port", config->zqlog_port) &&
        add_text(hw, "serverip", config->modbus_hw.serverip) &&
        add_text(hw, "port", config->modbus_hw.port) &&
        add_number(hw, "enable_ssl", config->modbus_hw.enable_ssl) &&
        add_number(hw, "maxI_GUNA", config->modbus_hw.maxI_GUNA) &&
        add_number(hw, "maxI_GUNB", config->modbus_hw.maxI_GUNB) &&
        add_text(hw, "server_name", config->modbus_hw.server_name) &&
        add_text(hw, "tls_ciphers", config->modbus_hw.tls_ciphers)) {
        cJSON_AddItemToObject(root, "modbus_hw", hw);
        hw = nullptr;  // owned by root now
        text = cJSON_Print(root);
    }
    cJSON_Delete(hw);
    cJSON_Delete(root);
    return text;
}

// Writes text to "<path>.tmp", flushes it to the medium and renames it over path,
// so a power cut or a full disk never leaves a truncated configuration behind.
int write_replace(const char *path, const char *text) {
    char tmp[sizeof config_source + 8];
    int n = snprintf(tmp, sizeof tmp, "%s.tmp", path);
    if (n < 0 || (size_t)n >= sizeof tmp) return -1;
    // A symbolic link planted under the temporary name is not followed: the write
    // fails instead of landing in the file it points at.
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    FILE *fp = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (fp == nullptr) {
        if (fd >= 0) close(fd);
        clog_print(4, "TCU", "tcu_config_save", __FILE__, __LINE__, "\n");
        return -2;
    }
    size_t len = strlen(text);
    bool written = fwrite(text, 1, len, fp) == len;
    written = fflush(fp) == 0 && written;
    written = fsync(fileno(fp)) == 0 && written;
    written = fclose(fp) == 0 && written;
    if (!written) {
        unlink(tmp);
        return -3;
    }
    if (rename(tmp, path) != 0) {
        unlink(tmp);
        return -4;
    }
    return 0;
}

}  // namespace

void tcu_config_init(const char *path) {
    release_texts();
    memset(&tcu_config, 0, sizeof tcu_config);
    config_state = load_state::failed;
    config_source[0] = '\0';
    if (path == nullptr) return;
    snprintf(config_source.data(), config_source.size(), "%s", path);

    char *text = read_file(path);
    if (text == nullptr) return;
    // Text after the object is ignored: a hand-edited file with a stray character at
    // its end must still configure the terminal rather than leave every link idle.
    cJSON *root = cJSON_Parse(text);
    if (root == nullptr || !cJSON_IsObject(root)) {
        TCU_LOG(1, "%s: not a JSON object, no setting loaded\n", path);
    } else {
        config_state =
            tcu_config_load(root, &tcu_config) == 0 ? load_state::ok : load_state::incomplete;
    }
    cJSON_Delete(root);
    free(text);
}

void tcu_config_save(const char *path) {
    if (path == nullptr) return;
    // Writing back a record that did not load would replace the operator's file
    // with zeros (or drop a value that was merely written as a number).
    if (config_state == load_state::failed || config_state == load_state::incomplete) {
        TCU_LOG(1, "%s not written: the configuration did not load completely\n", path);
        return;
    }
    char *text = config_print(&tcu_config);
    if (text == nullptr) {
        TCU_LOG(1, "%s not written: out of memory\n", path);
        return;
    }
    int rc = write_replace(path, text);
    if (rc != 0 && rc != -2) TCU_LOG(1, "%s not written (%d), old file kept\n", path, rc);
    cJSON_free(text);
}

void tcu_config_exit(void) {
    if (config_source[0] == '\0') return;
    tcu_config_save(config_source.data());
}
