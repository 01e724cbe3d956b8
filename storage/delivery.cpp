// Placeholder until the delivery lands: every stored item waits for a later poll.
#include "storage/delivery.h"

DeliveryOutcome deliver_stored_item(const WritebackCommand&, int32_t) { return DeliveryOutcome{}; }
