#include "module/state.hpp"

namespace vsn {

namespace detail {
Records* const g_records = new Records();
}  // namespace detail

Records& loadRecords() {
    return *detail::g_records;
}

}  // namespace vsn
