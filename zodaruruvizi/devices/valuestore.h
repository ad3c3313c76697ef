// The module-wide value store: device attribute name to value text, ordered by
// byte-wise key comparison. Created empty when the module is loaded and shared
// by every object in the process. No lock: one thread at a time.
#ifndef ZODARURUVIZI_DEVICES_VALUESTORE_H
#define ZODARURUVIZI_DEVICES_VALUESTORE_H

#include <map>
#include <string>

#include "platform/export.h"

typedef std::map<std::string, std::string> ValueStoreMap;

// The store itself. Indexing it with operator[] adds a missing key with an
// empty value, which is then listed by the dump.
ZODARURUVIZI_API ValueStoreMap& GetValueStore();

#endif
