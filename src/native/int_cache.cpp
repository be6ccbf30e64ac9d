#include "int_cache.hpp"

namespace varnel {

UIntCache shared_int_cache;

}  // namespace varnel
