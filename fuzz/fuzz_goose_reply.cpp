// The power unit's GOOSE replies into the publisher's reply records: the goosePdu
// as it follows the Ethernet header, from a buffer of exactly its size so that an
// overread is a real one. A refused reply must leave the object unchanged.
#include <memory>

#include "fuzz_common.h"
#include "goose_HW.h"
#include "goose_HW_decode.h"

namespace {

struct view_t {
    PowerReply_t power;
    ShutdownReply_t shutdown;
    char goCBRef[GOOSE_HW_CACHE_SIZE], dataSetRef[GOOSE_HW_CACHE_SIZE], goID[GOOSE_HW_CACHE_SIZE];
};

// Field by field: the records have padding.
bool same(const view_t &a, const view_t &b) {
    const PowerReply_t &p = a.power, &q = b.power;
    const ShutdownReply_t &s = a.shutdown, &t = b.shutdown;
    return p.connect_id == q.connect_id && p.serialnumb == q.serialnumb && p.type == q.type &&
           p.result == q.result && p.mode == q.mode &&
           memcmp(&p.requestV, &q.requestV, sizeof p.requestV) == 0 &&
           memcmp(&p.requestI, &q.requestI, sizeof p.requestI) == 0 && p.resv0 == q.resv0 &&
           p.resv1 == q.resv1 && s.connect_id == t.connect_id && s.serialnumb == t.serialnumb &&
           s.reason == t.reason && s.result == t.result && s.reject == t.reject &&
           memcmp(a.goCBRef, b.goCBRef, sizeof a.goCBRef) == 0 &&
           memcmp(a.dataSetRef, b.dataSetRef, sizeof a.dataSetRef) == 0 &&
           memcmp(a.goID, b.goID, sizeof a.goID) == 0;
}

view_t view(const goose_HW_t *g) {
    view_t v;
    v.power = g->power_reply;
    v.shutdown = g->shutdown_reply;
    memcpy(v.goCBRef, g->goCBRef_cache, sizeof v.goCBRef);
    memcpy(v.dataSetRef, g->dataSetRef_cache, sizeof v.dataSetRef);
    memcpy(v.goID, g->goID_cache, sizeof v.goID);
    return v;
}

bool terminated(const char (&text)[GOOSE_HW_CACHE_SIZE]) {
    return memchr(text, 0, sizeof text) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static goose_HW_t *dev = [] {
        auto *g = new goose_HW_t();
        goose_HW_init(g, nullptr, 1);
        return g;
    }();
    auto exact = std::make_unique<uint8_t[]>(size);
    if (size > 0) memcpy(exact.get(), data, size);
    const view_t before = view(dev);
    int rc = goose_HW_decode_APDU(dev, exact.get(), (int)size);
    FUZZ_CHECK(rc == 0 || rc == -6 || rc == -7 || rc == -8 || rc == -9, "rc %d", rc);
    if (rc != 0) FUZZ_CHECK(same(before, view(dev)), "refused reply (%d) changed the object", rc);
    FUZZ_CHECK(terminated(dev->goCBRef_cache) && terminated(dev->dataSetRef_cache) &&
                   terminated(dev->goID_cache),
               "header cache without terminator");

    // The allData decoders on their own, as another caller might use them.
    PowerReply_t power = dev->power_reply;
    goose_HW_decode_PowerRequestResult(dev, exact.get(), (int)size, &power);
    ShutdownReply_t shutdown = dev->shutdown_reply;
    goose_HW_decode_ShutdownRequestResult(dev, exact.get(), (int)size, &shutdown);
    return 0;
}
