// The exhaustive scan ranks Poincare nodes by the argument t of arccosh and takes the logarithm only
// for nodes that can be kept, which returns exactly what scoring every node would only if arccosh,
// as this platform's logf, sqrtf and fmaf compute it, never decreases in t. This checks that over
// every float32 value the kernel can produce for t: 1.000001 up to +inf.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/kernels.h"

int main() {
    auto as_float = [](uint32_t u) {
        float f;
        std::memcpy(&f, &u, sizeof f);
        return f;
    };
    const float first = 1.000001f;
    uint32_t u;
    std::memcpy(&u, &first, sizeof u);
    const uint32_t inf = 0x7F800000u;
    float prev = vek::kernels::poincare_of_arg(as_float(u));
    uint64_t checked = 1;
    for (++u; u <= inf; ++u, ++checked) {
        const float d = vek::kernels::poincare_of_arg(as_float(u));
        if (!(d >= prev)) {
            std::printf("arccosh decreases: t = %a gives %a after %a\n", as_float(u), d, prev);
            return 1;
        }
        prev = d;
    }
    std::printf("arccosh never decreases over %llu arguments\n", static_cast<unsigned long long>(checked));
    return 0;
}
