#include "module/state.hpp"

namespace vsn {

namespace {
// Made when the library is loaded and never destroyed: a destructor would run after the
// interpreter has finalized and drop references into freed memory.
Records* const g_records = new Records();
}  // namespace

const Records& records() {
    return *g_records;
}
Records& loadRecords() {
    return *g_records;
}

}  // namespace vsn
