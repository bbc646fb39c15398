#include "source/korv_user/UFDataType.h"

// Since C++17 the constants need no definition here. Applications built to an
// older standard still look for one in the library when they take a
// constant's address or bind it to a reference.
namespace BRAX {
namespace KORV_USER_API {

constexpr double UFBaseFloatType::NULL_VALUE;
constexpr int32_t UFBaseIntType::NULL_VALUE;
constexpr int64_t UFBaseLongType::NULL_VALUE;
constexpr int16_t UFBaseWordType::NULL_VALUE;
constexpr char UFBaseCharType::NULL_VALUE;
constexpr const char* UFBaseStringType::NULL_VALUE;

}  // namespace KORV_USER_API
}  // namespace BRAX
