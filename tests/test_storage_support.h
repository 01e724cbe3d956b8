#pragma once
#include <string>

#include "storage/journal.h"

inline const std::string kBindingA(64, 'a');
inline const std::string kBindingB = std::string(63, 'a') + "b";
inline const std::string kDigest1(64, '1');
inline const std::string kDigest2(64, '2');

// A valid fruit deposit in state 0.
inline TransferRecord sample_record(const std::string& id = "0123456789abcdef0123456789abcdef") {
    TransferRecord r;
    r.transfer_id = id;
    r.save_binding = kBindingA;
    r.kind = kTransferFruit;
    r.target = kTargetGardenSave;
    r.item_type = 7;
    r.garden = 2;
    r.size = 3;
    r.age = -5;
    r.pos_x = 12.5f;
    r.pos_y = -3.25f;
    r.pos_z = 99999.0f;
    return r;
}

inline TransferRecord at_state(TransferRecord r, uint32_t state, const std::string& digest = kDigest1) {
    r.state = state;
    r.save_digest = state == 0 ? "" : digest;
    return r;
}
