// The emulated build of the radix-2^52 kernels, the limb conversions and the dispatch to
// the IFMA build (see mont52.h).
#include "crypto/mont52.h"

#include "crypto/cpu.h"
#include "crypto/mont52_kernel.h"

namespace kvn {
namespace {

__extension__ typedef unsigned __int128 Wide;

// Four 64-bit lanes, as the IFMA build's 256-bit vectors, each operation done lane by
// lane exactly as the instruction it stands for defines it.
struct EmulatedLanes {
    static constexpr std::size_t kLanes = 4;
    struct T {
        std::uint64_t x[kLanes];
    };
    static T Zero() { return T{{0, 0, 0, 0}}; }
    static T Load(const std::uint64_t* p) { return T{{p[0], p[1], p[2], p[3]}}; }
    static void Store(std::uint64_t* p, const T& v) {
        for (std::size_t i = 0; i < kLanes; ++i) p[i] = v.x[i];
    }
    static T Broadcast(std::uint64_t w) { return T{{w, w, w, w}}; }
    // VPMADD52LUQ: acc + low 52 bits of the 104-bit product of the operands' low 52 bits.
    static T MAddLo(const T& acc, const T& a, const T& b) {
        T r;
        for (std::size_t i = 0; i < kLanes; ++i) {
            const Wide p = Wide{a.x[i] & mont52::kMask} * (b.x[i] & mont52::kMask);
            r.x[i] = acc.x[i] + (static_cast<std::uint64_t>(p) & mont52::kMask);
        }
        return r;
    }
    // VPMADD52HUQ: acc + bits 52..103 of that product.
    static T MAddHi(const T& acc, const T& a, const T& b) {
        T r;
        for (std::size_t i = 0; i < kLanes; ++i) {
            const Wide p = Wide{a.x[i] & mont52::kMask} * (b.x[i] & mont52::kMask);
            r.x[i] = acc.x[i] + static_cast<std::uint64_t>(p >> 52);
        }
        return r;
    }
    static std::uint64_t Lane0(const T& v) { return v.x[0]; }
    static T AddLane0(T v, std::uint64_t w) {
        v.x[0] += w;
        return v;
    }
    // VALIGNQ by one lane: lo's lanes 1..3, then hi's lane 0.
    static T ShiftDown(const T& lo, const T& hi) { return T{{lo.x[1], lo.x[2], lo.x[3], hi.x[0]}}; }
    static T And(const T& a, const T& b) {
        return T{{a.x[0] & b.x[0], a.x[1] & b.x[1], a.x[2] & b.x[2], a.x[3] & b.x[3]}};
    }
    static T Or(const T& a, const T& b) { return T{{a.x[0] | b.x[0], a.x[1] | b.x[1], a.x[2] | b.x[2], a.x[3] | b.x[3]}}; }
};

}  // namespace

bool mont52_IfmaAvailable() noexcept { return cpu_HasAvx512Ifma(); }

std::size_t mont52_LimbsFor(std::size_t n) noexcept {
    const std::size_t limbs = (64 * n + 2 + 51) / 52;
    return (limbs + 3) / 4 * 4;
}

std::size_t mont52_WorkLimbs(std::size_t limbs) noexcept { return (mont52::kWindowEntries + 2) * limbs; }

void mont52_From64(std::uint64_t* out, std::size_t limbs, const std::uint64_t* in, std::size_t n) noexcept {
    for (std::size_t j = 0; j < limbs; ++j) {
        const std::size_t bit = 52 * j, i = bit / 64, shift = bit % 64;
        std::uint64_t v = i < n ? in[i] >> shift : 0;
        if (shift > 12 && i + 1 < n) v |= in[i + 1] << (64 - shift);
        out[j] = v & mont52::kMask;
    }
}

void mont52_To64(std::uint64_t* out, std::size_t n, const std::uint64_t* in, std::size_t limbs) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = 0;
    for (std::size_t j = 0; j < limbs; ++j) {
        const std::size_t bit = 52 * j, i = bit / 64, shift = bit % 64;
        if (i < n) out[i] |= in[j] << shift;
        if (shift > 12 && i + 1 < n) out[i + 1] |= in[j] >> (64 - shift);
    }
}

void mont52_Mul(mont52_Lanes lanes, std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b,
                const std::uint64_t* m, std::uint64_t k0, std::size_t limbs) noexcept {
    if (lanes == mont52_Lanes::kIfma) {
        mont52_MulIfma(r, a, b, m, k0, limbs);
        return;
    }
    mont52::MulAnySize<EmulatedLanes>(r, a, b, m, k0, limbs);
}

void mont52_Exp(mont52_Lanes lanes, std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* m,
                std::uint64_t k0, const std::uint64_t* one, std::size_t limbs, const std::uint64_t* e,
                std::size_t elimbs, std::uint64_t* work) noexcept {
    if (lanes == mont52_Lanes::kIfma) {
        mont52_ExpIfma(r, a, m, k0, one, limbs, e, elimbs, work);
        return;
    }
    mont52::ExpAnySize<EmulatedLanes>(r, a, m, k0, one, limbs, e, elimbs, work);
}

}  // namespace kvn
