// GOOSE publisher of one gun: repeats the gun's power or shutdown request to the
// power unit on a raw packet socket, authenticated with HMAC-SHA256, on the GOOSE
// retransmission schedule, and sends a newly posted request at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <netpacket/packet.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "tc_system.h"

// Data-set records carried in the frames (all integers unsigned 16-bit, floats
// IEEE-754 single precision).
struct PowerRequest_t {
    uint16_t connect_id;
    uint16_t serialnumb;
    uint16_t type;  // power_request_type
    uint16_t mode;  // power_request_mode
    float requestV;
    float requestI;
    uint16_t resv0;
    uint16_t resv1;
};

struct ShutdownRequest_t {
    uint16_t connect_id;
    uint16_t serialnumb;
    uint16_t reason;  // shuntdown_request_reason
    uint16_t resv0;
    uint16_t resv1;
};

struct PowerReply_t {
    uint16_t connect_id;
    uint16_t serialnumb;
    uint16_t type;
    uint16_t result;
    uint16_t mode;
    float requestV;
    float requestI;
    uint16_t resv0;
    uint16_t resv1;
};

struct ShutdownReply_t {
    uint16_t connect_id;
    uint16_t serialnumb;
    uint16_t reason;
    uint16_t result;
    uint16_t reject;
};

enum goose_HW_State {
    GHWS_HEARTBEAT = 0,  // nothing is sent
    GHWS_POWER_REQUEST = 1,
    GHWS_SHUTDOWN_REQUEST = 2,
};

enum power_request_type {
    PRT_ACDC_PLACEHOLDER = 1,
    PRT_INSLUATION_DETECTION_START = 2,
    PRT_INSLUATION_DETECTION_STOP = 3,
    PRT_PRECHARGING = 4,
    PRT_CHARGING = 5,
};

enum power_request_mode {
    PRM_CONSTANT_VOLTAGE = 1,
    PRM_CONSTANT_CURRENT = 2,
};

enum shuntdown_request_reason {
    SRR_NORMAL = 0,
    SRR_GUN_FALLOFF = 1,
    SRR_GUN_OFFLINE = 2,
    SRR_GUN_INSULTION_ERR = 3,
    SRR_GUN_EMGSTOP = 4,
    SRR_GUN_PARAM_ERR = 5,
    SRR_GUN_SECC_ERR = 6,
    SRR_GUN_EVCC_ERR = 7,
    SRR_GUN_COMM_ERR = 8,
    SRR_GUN_HOST_ERR = 9,
};

constexpr int GOOSE_HW_BUFF_SIZE = 1536;
constexpr int GOOSE_HW_KEY_SIZE = 48;
constexpr int GOOSE_HW_CACHE_SIZE = 128;

// Default destination until the power unit writes its MAC registers: one locally
// administered unicast address for both guns, so nothing leaves as multicast and no
// real station is addressed by accident.
constexpr uint8_t GOOSE_HW_DEFAULT_DST_MAC[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

struct goose_HW_t {
    // Guards the request records, the header counters, the schedule, the
    // addresses, the key, the socket and the transmit buffer.
    pthread_mutex_t mutex;
    int fd;                  // raw packet socket; -1 when closed
    std::atomic<int> state;  // goose_HW_State: which request the worker repeats
    std::atomic<int> quit;   // set nonzero by shutdown
    // One step per loop turn; the supervisor (tc_watch) sees a hang by it.
    std::atomic<uint32_t> heartbeat;
    int T0;                   // settled repetition interval, ms (5000)
    int T1;                   // first repetition interval after a new request, ms (1000)
    int T_idx;                // position in the schedule, 0 to 4
    int64_t T[5];             // repetition schedule, ms
    const char *interfaceID;  // borrowed from the configuration; null: no socket
    const char *goID;
    const char *goCBRef;
    const char *dataSetRef;
    uint32_t confRev;
    uint32_t stNum;  // incremented for every new request
    uint32_t sqNum;  // 0 at a new request, incremented before every frame
    uint16_t timeAllowedToLive;
    bool needsCommission;
    bool simulation;
    struct timeval timestamp;
    uint8_t src_mac[6];
    uint8_t dst_mac[6];
    uint8_t tx_buff[GOOSE_HW_BUFF_SIZE];
    int tx_bytes;
    // Kept for its callers to come: the socket is never read, so this stays empty.
    uint8_t rx_buff[GOOSE_HW_BUFF_SIZE];
    int rx_bytes;
    char goID_cache[GOOSE_HW_CACHE_SIZE];
    char goCBRef_cache[GOOSE_HW_CACHE_SIZE];
    char dataSetRef_cache[GOOSE_HW_CACHE_SIZE];
    uint8_t HMAC[GOOSE_HW_KEY_SIZE];  // authentication key of every frame
    PowerReply_t power_reply;
    ShutdownReply_t shutdown_reply;
    PowerRequest_t power_request;        // the power request in force
    ShutdownRequest_t shutdown_request;  // the shutdown request in force
    struct sockaddr_ll sll;
    socklen_t slen;
    // A missing interface fails every turn: these keep its errors to one line per
    // failure kind and minute.
    tc_fail_gate_t open_gate;
    tc_fail_gate_t send_gate;
};

// Sets up the object (mutex, start-up schedule, placeholder requests, default
// destination) and opens the socket. -1 null object; else goose_HW_open_socket's
// result. A null interfaceID leaves the object without socket, logged once.
int goose_HW_init(goose_HW_t *dev, const char *interfaceID, uint16_t connector_id);
// Opens and binds the raw socket and reads src_mac. Caller holds the mutex (or no
// thread runs yet). 0 opened; -1 null or already open; -2 socket, -3 bind,
// -4 interface index, -5 hardware address failed (socket closed again, retried on
// the next worker turn); -6 no interface configured.
int goose_HW_open_socket(goose_HW_t *dev);
// Sends tx_bytes of tx_buff. Caller holds the mutex. 0 sent; -1 null or closed;
// -2 nothing to send; -3 send failed (socket closed, reopened on the next turn).
int goose_HW_send(goose_HW_t *dev);

// Build one frame from pdu (sqNum + 1) and send it; return the unsent byte count
// (0 after a full send) or -1 for a null argument. These take the mutex themselves;
// the _locked forms expect the caller to hold it.
int goose_HW_PowerRequest_send(goose_HW_t *dev, const PowerRequest_t *pdu);
int goose_HW_ShuntdownRequest_send(goose_HW_t *dev, const ShutdownRequest_t *pdu);
int goose_HW_PowerRequest_send_locked(goose_HW_t *dev, const PowerRequest_t *pdu);
int goose_HW_ShuntdownRequest_send_locked(goose_HW_t *dev, const ShutdownRequest_t *pdu);

// Post the object's power_request (shutdown_request) as a new request: stNum + 1,
// sqNum 0, state, schedule restarted, first frame sent at once on the caller's
// thread. The plain forms lock the mutex themselves.
//
// The _locked forms are for a caller that already holds dev->mutex (the gun state
// hub): it fills the request record and posts it in one hold, so no frame of the
// worker ever carries the new values under the old stNum or the old values under
// the new one. The mutex is not recursive: never call the plain forms while holding
// it. Sending on the raw socket does not block, so sending under the mutex is fine.
// Result: the unsent byte count of the first frame (0 when it went out), -1 for a
// null object.
// Kept for its callers to come: the hub posts through the _locked forms.
int goose_HW_PowerRequest(goose_HW_t *dev);
int goose_HW_ShuntdownRequest(goose_HW_t *dev);
int goose_HW_PowerRequest_locked(goose_HW_t *dev);
int goose_HW_ShuntdownRequest_locked(goose_HW_t *dev);

// Worker thread entry; argv is the object. Returns a null pointer at quit.
void *goose_HW_loop(void *argv);
// One worker turn: under the mutex open the socket if closed, send the request in
// force, advance the schedule. Returns the pause before the next turn, in ms (-1
// for a null object). The worker loop is this plus the pause.
int goose_HW_turn(goose_HW_t *dev);
// Destroys the mutex and closes the socket (after the worker has been joined).
void goose_HW_exit(goose_HW_t *dev);
