// FFT plans: the calling thread's planner, the transforms it hands out and
// the plan wisdom kept in the data folder between runs.
#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <numbers>

#include "api/client.h"
#include "base/log.h"
#include "base/pages.h"
#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

namespace plan {

namespace {

// The FFT library's planner (creation and destruction of plans, wisdom) is
// not thread-safe; executing a plan is.
std::mutex& planner_mutex() {
    static std::mutex m;
    return m;
}

bool is_real(Direction dir) { return dir == Direction::RealForward || dir == Direction::RealInverse; }

// Buffers of the library's allocator for planning: input and output (the
// same for complex plans, which run in place).
struct PlanBuffers {
    float* in = nullptr;
    float* out = nullptr;
    PlanBuffers(std::size_t len, Direction dir, std::size_t extra) {
        const std::size_t half = 2 * (len / 2 + 1) + extra;
        switch (dir) {
            case Direction::Forward:
            case Direction::Inverse: in = out = fftwf_alloc_real(2 * len + extra); break;
            case Direction::RealForward:
                in = fftwf_alloc_real(len + extra);
                out = fftwf_alloc_real(half);
                break;
            case Direction::RealInverse:
                in = fftwf_alloc_real(half);
                out = fftwf_alloc_real(len + extra);
                break;
        }
    }
    ~PlanBuffers() {
        if (out != in) fftwf_free(out);
        fftwf_free(in);
    }
    PlanBuffers(const PlanBuffers&) = delete;
    PlanBuffers& operator=(const PlanBuffers&) = delete;
};

// Under the planner lock. Offsets shift the buffers by one float so that a
// plan made on them assumes no alignment.
fftwf_plan make_plan(std::size_t len, Direction dir, float* in, float* out, unsigned flags) {
    const int n = static_cast<int>(len);
    switch (dir) {
        case Direction::Forward:
        case Direction::Inverse:
            return fftwf_plan_dft_1d(n, reinterpret_cast<fftwf_complex*>(in), reinterpret_cast<fftwf_complex*>(out),
                                     dir == Direction::Forward ? FFTW_FORWARD : FFTW_BACKWARD, flags);
        case Direction::RealForward:
            return fftwf_plan_dft_r2c_1d(n, in, reinterpret_cast<fftwf_complex*>(out), flags);
        case Direction::RealInverse:
            return fftwf_plan_dft_c2r_1d(n, reinterpret_cast<fftwf_complex*>(in), out, flags);
    }
    return nullptr;
}

// The measured plan when the wisdom holds it, else the estimate.
fftwf_plan wise_plan(std::size_t len, Direction dir, float* in, float* out, unsigned extra, bool& measured) {
    fftwf_plan p = make_plan(len, dir, in, out, FFTW_MEASURE | FFTW_WISDOM_ONLY | extra);
    measured = p != nullptr;
    if (p == nullptr) p = make_plan(len, dir, in, out, FFTW_ESTIMATE | extra);
    return p;
}

// ---- transforms by chirp (Bluestein)
//
// For a size with a large prime factor the FFT library plans and runs far
// slower than for a power of two (for n = 8,388,593 about 4 s real, 1.4 s
// complex), so such a transform is computed as a convolution with a chirp:
// with w_j = exp(-i pi j^2 / n) and jk = (j^2 + k^2 - (k - j)^2) / 2,
//   X_k = w_k sum_j (x_j w_j) conj(w_{k-j}),
// a cyclic convolution of length m >= 2n - 1 (a power of two) done by two
// transforms of m points. The inverse is conj(forward(conj(x))).

// When the chirp pays. The library's transform of a prime p above about
// 2^15 costs far more to plan and run than power-of-two transforms of 2p to
// 4p points (p = 1,000,003: 0.58 s against 0.17 s on first use; p =
// 8,388,593: 5.3 s against 1.2 s), and the gap grows with p; below it the
// two are alike. For a size p q (q the product of the smaller factors) the
// library runs q transforms of p against the chirp's transforms of 2pq to
// 4pq points: past a small q it wins again (32,779 x 64: 0.33 s against
// 0.62 s). See bench_core's BM_FftOddSize.
constexpr std::size_t CHIRP_FACTOR = 32768;
constexpr std::size_t CHIRP_COFACTOR = 8;

// The chirp's transforms must stay within the library's int sizes.
constexpr std::size_t CHIRP_MAX = std::size_t{1} << 28;

std::size_t largest_prime_factor(std::size_t n) {
    std::size_t largest = 1;
    for (std::size_t p = 2; p * p <= n; p += p == 2 ? 1 : 2) {
        while (n % p == 0) {
            largest = p;
            n /= p;
        }
    }
    return n > 1 ? std::max(largest, n) : largest;
}

std::size_t chirp_len(std::size_t n) {
    std::size_t m = 1;
    while (m < 2 * n - 1) m <<= 1;
    return m;
}

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
using FftwBuffer = std::unique_ptr<Complex[], FftwFree>;

FftwBuffer fftw_complex_buffer(std::size_t len) {
    auto* p = reinterpret_cast<Complex*>(fftwf_alloc_complex(len));
    if (p == nullptr) throw std::bad_alloc();
    base::pages::prepare(p, len * sizeof(Complex));
    return FftwBuffer(p);
}

// The transform of the conjugate chirp of size n laid out cyclically in m
// points (conj(w_d) at d mod m for |d| < n and |d| <= m/2, else zero), times
// 1 / m. The layout is even (b_{m-d} = b_d), so its transform is too: kept
// by half, bins 0..m/2. Read-only once made.
struct ChirpKernel {
    std::once_flag once;
    FftwBuffer half;
};

// The chirp of one size, read-only once made; shared by every thread's plan
// of that size, with the kernels of the transform lengths asked of it. w is
// kept by half: (n - j)^2 = j^2 + n^2 (mod 2n), so w_{n-j} = w_j for even n
// and -w_j for odd n.
struct Chirp {
    std::once_flag once;
    std::size_t n = 0;
    std::size_t m = 0;  // the length of whole transforms: a power of two >= 2n - 1
    bool odd = false;
    std::vector<Complex> w;  // w_j, j <= n/2
    mutable std::mutex kernels_mutex;
    mutable std::map<std::size_t, std::shared_ptr<ChirpKernel>> kernels;
    // Work areas kept between transforms (one after the other reuse them
    // rather than map fresh pages, as do the two parts of an envelope): up
    // to SPARES of the longest length returned, one per thread that worked
    // on the size at once. A transform that finds none long enough makes its
    // own.
    static constexpr std::size_t SPARES = 4;
    struct Work {
        FftwBuffer buf;
        std::size_t len = 0;
        Complex* get() const { return buf.get(); }
        Complex& operator[](std::size_t i) const { return buf[i]; }
    };
    mutable std::mutex spare_mutex;
    mutable std::vector<Work> spares;

    Work take_work(std::size_t len) const {
        {
            std::lock_guard lock(spare_mutex);
            if (!spares.empty() && spares.back().len >= len) {
                Work w = std::move(spares.back());
                spares.pop_back();
                return w;
            }
        }
        return Work{fftw_complex_buffer(len), len};
    }
    void give_back(Work w) const {
        std::lock_guard lock(spare_mutex);
        // All kept areas have one length.
        if (!spares.empty() && spares.back().len > w.len) return;
        if (!spares.empty() && spares.back().len < w.len) spares.clear();
        if (spares.size() < SPARES) spares.push_back(std::move(w));
    }

    // w_r for 0 <= r < n.
    Complex base(std::size_t r) const {
        if (r < w.size()) return w[r];
        const Complex v = w[n - r];
        return odd ? -v : v;
    }

    // f(j, w_j) for the integers j in [from, to), any sign: w_{-j} = w_j and
    // w_{j+n} = w_j for even n, -w_j for odd n.
    template <class F>
    void each(std::ptrdiff_t from, std::ptrdiff_t to, F f) const {
        const auto len = static_cast<std::ptrdiff_t>(n);
        for (std::ptrdiff_t j = from; j < to;) {
            const std::size_t a = static_cast<std::size_t>(j < 0 ? -j : j);
            const std::size_t r = a % n;
            const bool flip = odd && (a / n) % 2 == 1;
            if (j >= 0) {
                // |j| rises: r, r + 1, .. up to n - 1.
                const std::ptrdiff_t run = std::min(to - j, len - static_cast<std::ptrdiff_t>(r));
                for (std::ptrdiff_t i = 0; i < run; ++i) {
                    const Complex v = base(r + static_cast<std::size_t>(i));
                    f(j + i, flip ? -v : v);
                }
                j += run;
            } else {
                // |j| falls: r, r - 1, .. down to 0.
                const std::ptrdiff_t run = std::min(to - j, static_cast<std::ptrdiff_t>(r) + 1);
                for (std::ptrdiff_t i = 0; i < run; ++i) {
                    const Complex v = base(r - static_cast<std::size_t>(i));
                    f(j + i, flip ? -v : v);
                }
                j += run;
            }
        }
    }

    // The kernel for transforms of m points, made by the first thread that
    // asks (with its own plan of m points).
    const ChirpKernel& kernel(std::size_t len) const;
};

// a x b without the library's checks for infinities (which go through a call).
inline Complex mul(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

void make_chirp(Chirp& c, std::size_t n) {
    const std::size_t half = n / 2 + 1;
    c.n = n;
    c.m = chirp_len(n);
    c.odd = n % 2 == 1;
    c.w.reserve(half);
    base::pages::prepare(c.w.data(), half * sizeof(Complex));
    c.w.resize(half);
    // Angles as j^2 mod 2n in integers (the chirp's period), so that they
    // lose nothing for large j, then in double. Every 1024th value comes
    // from its angle; those between by the ratios in double,
    // w_{j+1} = w_j r_j with r_j = exp(-i pi (2j + 1) / n) and
    // r_{j+1} = r_j exp(-2 i pi / n), which drift by about 1e-13 in a block.
    const std::uint64_t period = 2 * static_cast<std::uint64_t>(n);
    const double step = std::numbers::pi / static_cast<double>(n);
    auto at = [&](std::uint64_t residue) { return std::polar(1.0, -step * static_cast<double>(residue)); };
    const std::complex<double> turn = at(2);
    constexpr std::size_t BLOCK = 1024;
    for (std::size_t j0 = 0; j0 < half; j0 += BLOCK) {
        const auto j = static_cast<std::uint64_t>(j0);
        std::complex<double> w = at((j * j) % period);
        std::complex<double> r = at((2 * j + 1) % period);
        for (std::size_t k = j0; k < std::min(half, j0 + BLOCK); ++k) {
            c.w[k] = Complex(static_cast<float>(w.real()), static_cast<float>(w.imag()));
            w = {w.real() * r.real() - w.imag() * r.imag(), w.real() * r.imag() + w.imag() * r.real()};
            r = {r.real() * turn.real() - r.imag() * turn.imag(), r.real() * turn.imag() + r.imag() * turn.real()};
        }
    }
}

const ChirpKernel& Chirp::kernel(std::size_t len) const {
    std::shared_ptr<ChirpKernel> k;
    {
        std::lock_guard lock(kernels_mutex);
        auto& slot = kernels[len];
        if (!slot) slot = std::make_shared<ChirpKernel>();
        k = slot;
    }
    std::call_once(k->once, [&] {
        const FftHandle forward_m = PLANNER.plan(len, Direction::Forward);
        Work b = take_work(len);
        std::fill(b.get(), b.get() + len, Complex{});
        const auto reach = static_cast<std::ptrdiff_t>(std::min(n, len / 2 + 1));
        each(0, reach, [&](std::ptrdiff_t j, Complex v) {
            const auto d = static_cast<std::size_t>(j);
            b[d] = b[(len - d) % len] = std::conj(v);
        });
        forward_m->process(std::span<Complex>(b.get(), len));
        FftwBuffer h = fftw_complex_buffer(len / 2 + 1);
        const float scale = 1.0f / static_cast<float>(len);
        for (std::size_t i = 0; i <= len / 2; ++i) h[i] = b[i] * scale;
        k->half = std::move(h);
        give_back(std::move(b));
    });
    // Kernels live as long as the chirp: a kernel once made is never moved.
    return *k;
}

// The chirp of size n, made by the first thread that asks and kept while a
// plan holds it. The registry sits behind the planner's lock; the making
// itself does not hold it.
std::shared_ptr<const Chirp> shared_chirp(std::size_t n) {
    static std::map<std::size_t, std::weak_ptr<Chirp>> chirps;
    std::shared_ptr<Chirp> c;
    {
        std::lock_guard lock(planner_mutex());
        std::erase_if(chirps, [](const auto& e) { return e.second.expired(); });
        auto& slot = chirps[n];
        c = slot.lock();
        if (!c) {
            c = std::make_shared<Chirp>();
            slot = c;
        }
    }
    std::call_once(c->once, [&] { make_chirp(*c, n); });
    return c;
}

// Bins first .. first + q - 1 of the transform (conjugated when `inverse`)
// of the values load(j) for j in [a, a + p), the others zero, by a cyclic
// convolution of the kernel's length in the work area z: with the chirp's
// identity jk = (j^2 + k^2 - (k - j)^2) / 2, exact for any integers j and k,
//   X_k = w_k sum_j (x_j w_j) conj(w_{k-j}),
// where x_j w_j sits at j - a and X_k comes out at k - a (mod m). The
// convolution needs conj(w_d) for every d = k - j it meets: |d| <= m/2 and
// |d| < n. store(k, X_k) in rising k.
template <class Load, class Store>
void chirp_part(const Chirp& c, std::size_t m, const ChirpKernel& kern, const Fft& forward_m, const Fft& inverse_m,
                Complex* z, bool inverse, std::ptrdiff_t a, std::size_t p, Load load, std::ptrdiff_t first,
                std::size_t q, Store store) {
    c.each(a, a + static_cast<std::ptrdiff_t>(p), [&](std::ptrdiff_t j, Complex w) {
        const Complex x = load(j);
        z[j - a] = mul(inverse ? std::conj(x) : x, w);
    });
    std::fill(z + p, z + m, Complex{});
    forward_m.process(std::span<Complex>(z, m));
    const Complex* kernel = kern.half.get();
    for (std::size_t i = 0; i <= m / 2; ++i) z[i] = mul(z[i], kernel[i]);
    for (std::size_t i = m / 2 + 1; i < m; ++i) z[i] = mul(z[i], kernel[m - i]);
    inverse_m.process(std::span<Complex>(z, m));
    const auto mm = static_cast<std::ptrdiff_t>(m);
    std::size_t at = static_cast<std::size_t>(((first - a) % mm + mm) % mm);
    c.each(first, first + static_cast<std::ptrdiff_t>(q), [&](std::ptrdiff_t k, Complex w) {
        const Complex y = mul(z[at], w);
        store(k, inverse ? std::conj(y) : y);
        if (++at == m) at = 0;
    });
}

// The length of a partial transform's convolution: the smallest 2^a f >= need
// for f in 1, 5, 9, 25. These sizes run about as fast per point as powers of
// two on the library's estimated plans (3 x 2^a ran slower than 2^(a+2)
// there).
std::size_t part_len(std::size_t need) {
    std::size_t best = 1;
    while (best < need) best <<= 1;
    for (std::size_t f : {5u, 9u, 25u}) {
        std::size_t v = f;
        while (v < need) v <<= 1;
        best = std::min(best, v);
    }
    return best;
}

std::once_flag wisdom_once;

thread_local bool timing = false;
thread_local TransformTime timed;

// Runs one transform, timed when the thread's timing is on.
template <class F>
void execute(F&& run) {
    if (!timing) {
        run();
        return;
    }
    const auto t0 = std::chrono::steady_clock::now();
    run();
    timed.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++timed.count;
}

}  // namespace

void time_transforms(bool on) { timing = on; }
TransformTime transform_time() { return timed; }

struct Fft::Impl {
    // Planned on buffers from the library's allocator, so it may use SIMD
    // code that needs their alignment.
    fftwf_plan aligned = nullptr;
    int in_alignment = 0;
    int out_alignment = 0;
    bool measured = false;
    // For buffers of another alignment; made on first need.
    mutable std::once_flag unaligned_once;
    mutable fftwf_plan unaligned = nullptr;
    // Sizes done by chirp: the chirp and the complex transforms of its length.
    std::shared_ptr<const Chirp> chirp;
    FftHandle forward_m;
    FftHandle inverse_m;

    // The transform by chirp of the n values load(j) (conjugated when
    // `inverse`); store(k, X_k) for k < count.
    template <class Load, class Store>
    void by_chirp(bool inverse, Load load, std::size_t count, Store store) const {
        const Chirp& c = *chirp;
        const ChirpKernel& kern = c.kernel(c.m);
        Chirp::Work a = c.take_work(c.m);
        chirp_part(c, c.m, kern, *forward_m, *inverse_m, a.get(), inverse, 0, c.n, load, 0, count, store);
        c.give_back(std::move(a));
    }

    // How a part is convolved: x_j placed at j - a, X_k taken as X_{k + t n}
    // from k0 = a + r on, in m points (m = 0: no shorter than the whole
    // transform).
    struct PartShape {
        std::ptrdiff_t a = 0;
        std::ptrdiff_t k0 = 0;
        std::size_t m = 0;
    };
    // The values given are those from `from` on (mod n). The differences
    // k - j span r - p + 1 .. r + q - 1 for r = first - a (mod n), so r near
    // (p - q) / 2 keeps them short. A whole input (p = n) may start anywhere.
    PartShape part_shape(std::size_t p, std::size_t from, std::size_t first, std::size_t q) const {
        const Chirp& c = *chirp;
        const auto n = static_cast<std::ptrdiff_t>(c.n);
        const auto pp = static_cast<std::ptrdiff_t>(p);
        const auto qq = static_cast<std::ptrdiff_t>(q);
        const std::ptrdiff_t want = (pp - qq) / 2;
        auto reach = [&](std::ptrdiff_t r) { return std::max(pp - 1 - r, r + qq - 1); };
        std::ptrdiff_t a = static_cast<std::ptrdiff_t>(from);
        std::ptrdiff_t r = static_cast<std::ptrdiff_t>(first) - a;
        if (r < 0) r += n;
        if (p == c.n) {
            a += r - want;
            r = want;
        } else if (reach(r - n) < reach(r)) {
            r -= n;
        }
        const std::ptrdiff_t d = reach(r);
        const std::size_t m = part_len(std::max({2 * static_cast<std::size_t>(d), p, q}));
        if (d >= n || m >= c.m) return {};
        return {a, a + r, m};
    }

    // Bins first .. first + q - 1 (mod n) of the transform of the values
    // load(j) for j = from .. from + p - 1 (mod n), the others zero, by a
    // convolution only as long as those bins need.
    template <class Load, class Store>
    void by_chirp_part(bool inverse, std::size_t from, std::size_t p, Load load, std::size_t first, std::size_t q,
                       Store store) const {
        const Chirp& c = *chirp;
        const auto n = static_cast<std::ptrdiff_t>(c.n);
        const PartShape shape = part_shape(p, from, first, q);
        if (shape.m == 0) {
            const std::size_t end = first + q;
            const std::size_t stop = from + p;
            auto given = [&](std::size_t j) { return (j >= from && j < stop) || j + c.n < stop; };
            by_chirp(inverse, [&](std::size_t j) { return given(j) ? load(static_cast<std::ptrdiff_t>(j)) : Complex{}; },
                     std::min(end, c.n), [&](std::size_t k, Complex v) {
                         if (k >= first) store(k - first, v);
                         else if (k + c.n < end) store(k + c.n - first, v);
                     });
            return;
        }
        const std::size_t m = shape.m;
        const FftHandle fm = PLANNER.plan(m, Direction::Forward);
        const FftHandle im = PLANNER.plan(m, Direction::Inverse);
        const ChirpKernel& kern = c.kernel(m);
        Chirp::Work work = c.take_work(m);
        const std::ptrdiff_t a = shape.a;
        const std::ptrdiff_t k0 = shape.k0;
        chirp_part(c, m, kern, *fm, *im, work.get(), inverse, a, p,
                   [&](std::ptrdiff_t j) { return load(j < 0 ? j + n : (j >= n ? j - n : j)); }, k0, q,
                   [&](std::ptrdiff_t k, Complex v) { store(static_cast<std::size_t>(k - k0), v); });
        c.give_back(std::move(work));
    }

    fftwf_plan for_buffers(std::size_t len, Direction dir, const void* in, const void* out) const {
        if (fftwf_alignment_of(static_cast<float*>(const_cast<void*>(in))) == in_alignment &&
            fftwf_alignment_of(static_cast<float*>(const_cast<void*>(out))) == out_alignment)
            return aligned;
        std::call_once(unaligned_once, [&] {
            std::lock_guard lock(planner_mutex());
            PlanBuffers b(len, dir, 0);
            bool m = false;
            // A plan that assumes no alignment of the buffers it is given.
            unaligned = wise_plan(len, dir, b.in, b.out, FFTW_UNALIGNED, m);
        });
        return unaligned;
    }
};

namespace {

bool chirp_size(std::size_t n) {
    if (n > CHIRP_MAX) return false;
    const std::size_t p = largest_prime_factor(n);
    return p > CHIRP_FACTOR && n / p <= CHIRP_COFACTOR;
}

}  // namespace

Fft::Fft(std::size_t len, Direction dir) : len_(len), dir_(dir), impl_(std::make_unique<Impl>()) {
    if (len_ == 0) return;
    if (len_ > static_cast<std::size_t>(std::numeric_limits<int>::max() / 2)) std::abort();
    if (chirp_size(len_)) {
        // The power-of-two transforms come from the calling thread's planner.
        const std::size_t m = chirp_len(len_);
        impl_->forward_m = PLANNER.plan(m, Direction::Forward);
        impl_->inverse_m = PLANNER.plan(m, Direction::Inverse);
        impl_->measured = impl_->forward_m->measured() && impl_->inverse_m->measured();
        impl_->chirp = shared_chirp(len_);
        return;
    }
    load_wisdom();
    std::lock_guard lock(planner_mutex());
    PlanBuffers b(len_, dir_, 0);
    impl_->aligned = wise_plan(len_, dir_, b.in, b.out, 0, impl_->measured);
    impl_->in_alignment = fftwf_alignment_of(b.in);
    impl_->out_alignment = fftwf_alignment_of(b.out);
}

Fft::~Fft() {
    if (!impl_->aligned && !impl_->unaligned) return;
    std::lock_guard lock(planner_mutex());
    if (impl_->aligned) fftwf_destroy_plan(impl_->aligned);
    if (impl_->unaligned) fftwf_destroy_plan(impl_->unaligned);
}

bool Fft::measured() const { return impl_->measured; }

void Fft::process(std::span<Complex> buf) const {
    if (buf.size() != len_ || is_real(dir_)) std::abort();
    if (len_ == 0) return;
    if (impl_->chirp) {
        execute([&] {
            impl_->by_chirp(dir_ == Direction::Inverse, [&](std::size_t j) { return buf[j]; }, len_,
                            [&](std::size_t k, Complex v) { buf[k] = v; });
        });
        return;
    }
    auto* p = reinterpret_cast<fftwf_complex*>(buf.data());
    const fftwf_plan plan = impl_->for_buffers(len_, dir_, p, p);
    execute([&] { fftwf_execute_dft(plan, p, p); });
}

void Fft::process(std::span<const Complex> in, std::span<Complex> out) const {
    if (in.size() != len_ || out.size() != len_) std::abort();
    if (in.data() != out.data()) std::copy(in.begin(), in.end(), out.begin());
    process(out);
}

void Fft::process(std::span<const float> in, std::span<Complex> out) const {
    if (dir_ != Direction::RealForward || in.size() != len_ || out.size() != len_ / 2 + 1) std::abort();
    if (len_ == 0) return;
    if (impl_->chirp) {
        execute([&] {
            impl_->by_chirp(false, [&](std::size_t j) { return Complex(in[j], 0.0f); }, len_ / 2 + 1,
                            [&](std::size_t k, Complex v) { out[k] = v; });
        });
        return;
    }
    auto* i = const_cast<float*>(in.data());  // not written: out of place, the input is kept
    auto* o = reinterpret_cast<fftwf_complex*>(out.data());
    const fftwf_plan plan = impl_->for_buffers(len_, dir_, i, o);
    execute([&] { fftwf_execute_dft_r2c(plan, i, o); });
}

void Fft::process(std::span<Complex> in, std::span<float> out) const {
    if (dir_ != Direction::RealInverse || in.size() != len_ / 2 + 1 || out.size() != len_) std::abort();
    if (len_ == 0) return;
    if (impl_->chirp) {
        // The whole spectrum of a real signal: bins above n/2 mirror those
        // below; bin 0 (and n/2 for even n) keeps its real part only.
        const std::size_t half = len_ / 2;
        const bool even = len_ % 2 == 0;
        auto bin = [&](std::size_t j) -> Complex {
            if (j == 0 || (even && j == half)) return Complex(in[j].real(), 0.0f);
            return j <= half ? in[j] : std::conj(in[len_ - j]);
        };
        execute([&] { impl_->by_chirp(true, bin, len_, [&](std::size_t k, Complex v) { out[k] = v.real(); }); });
        return;
    }
    auto* i = reinterpret_cast<fftwf_complex*>(in.data());
    const fftwf_plan plan = impl_->for_buffers(len_, dir_, i, out.data());
    execute([&] { fftwf_execute_dft_c2r(plan, i, out.data()); });
}

bool by_chirp(std::size_t n) { return n != 0 && chirp_size(n); }

bool Fft::by_chirp() const { return impl_->chirp != nullptr; }

void Fft::process_part(std::span<const Complex> in, std::size_t first, std::span<Complex> out) const {
    if (is_real(dir_) || in.size() > len_ || out.size() > len_ || (len_ != 0 && first >= len_)) std::abort();
    if (out.empty()) return;
    if (impl_->chirp) {
        // The input is read whole into the work area before any bin is stored.
        execute([&] {
            impl_->by_chirp_part(dir_ == Direction::Inverse, 0, in.size(), [&](std::ptrdiff_t j) { return in[static_cast<std::size_t>(j)]; },
                                 first, out.size(), [&](std::size_t k, Complex v) { out[k] = v; });
        });
        return;
    }
    std::vector<Complex> whole(len_);
    std::copy(in.begin(), in.end(), whole.begin());
    process(whole);
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = whole[(first + k) % len_];
}

void Fft::prepare_part(std::size_t from, std::size_t given, std::size_t first, std::size_t count) const {
    if (!impl_->chirp || from >= len_ || given > len_ || count > len_ || first >= len_ || count == 0) return;
    const Chirp& c = *impl_->chirp;
    const std::size_t m = impl_->part_shape(given, from, first, count).m;
    if (m == 0) {
        c.kernel(c.m);
        return;
    }
    PLANNER.plan(m, Direction::Forward);
    PLANNER.plan(m, Direction::Inverse);
    c.kernel(m);
}

void Fft::process_part(std::span<const float> in, std::size_t from, std::size_t count, std::span<Complex> out) const {
    if (dir_ != Direction::RealForward || in.size() != len_ || out.size() > len_ / 2 + 1 || count > len_ ||
        (len_ != 0 && from >= len_))
        std::abort();
    if (out.empty()) return;
    if (count == 0) {
        std::fill(out.begin(), out.end(), Complex{});
        return;
    }
    if (impl_->chirp) {
        execute([&] {
            impl_->by_chirp_part(false, from, count, [&](std::ptrdiff_t j) { return Complex(in[static_cast<std::size_t>(j)], 0.0f); },
                                 0, out.size(), [&](std::size_t k, Complex v) { out[k] = v; });
        });
        return;
    }
    if (count == len_ && out.size() == len_ / 2 + 1) {
        process(in, out);
        return;
    }
    // The library's transform of the whole, the samples not taken as zero.
    std::vector<float> taken(len_, 0.0f);
    for (std::size_t i = 0; i < count; ++i) taken[(from + i) % len_] = in[(from + i) % len_];
    std::vector<Complex> bins(len_ / 2 + 1);
    process(taken, bins);
    std::copy_n(bins.begin(), out.size(), out.begin());
}

FftHandle Planner::plan(std::size_t n, Direction dir) {
    const auto key = std::make_pair(n, dir);
    if (auto it = cache_.find(key); it != cache_.end()) return it->second;
    auto handle = std::make_shared<const Fft>(n, dir);
    cache_.emplace(key, handle);
    return handle;
}

void Planner::drop_estimated() {
    std::erase_if(cache_, [](const auto& e) { return e.second->len() != 0 && !e.second->measured(); });
}

thread_local Planner PLANNER;

std::optional<std::filesystem::path> wisdom_path() {
    auto dir = api::client::Product::config_dir(api::client::PRODUCT.id);
    if (!dir) return std::nullopt;
    return *dir / "fftw-wisdom";
}

void load_wisdom() {
    std::call_once(wisdom_once, [] {
        const auto path = wisdom_path();
        if (!path) return;
        auto text = api::client::read_file(*path, std::size_t{16} << 20);
        if (!text) return;
        std::lock_guard lock(planner_mutex());
        if (fftwf_import_wisdom_from_string(text->c_str()) == 0)
            base::log::warn("Veltrum::engine::tf", "FFT wisdom file unreadable, plans are estimated",
                            {{"path", path->string()}});
    });
}

std::vector<std::pair<std::size_t, Direction>> unmeasured(std::span<const std::pair<std::size_t, Direction>> keys) {
    load_wisdom();
    // A size done by chirp stands for the two power-of-two transforms it runs.
    std::vector<std::pair<std::size_t, Direction>> wanted;
    for (const auto& [n, dir] : keys) {
        if (n != 0 && chirp_size(n)) {
            wanted.emplace_back(chirp_len(n), Direction::Forward);
            wanted.emplace_back(chirp_len(n), Direction::Inverse);
        } else {
            wanted.emplace_back(n, dir);
        }
    }
    std::vector<std::pair<std::size_t, Direction>> out;
    std::lock_guard lock(planner_mutex());
    for (const auto& [n, dir] : wanted) {
        if (n == 0 || n > static_cast<std::size_t>(std::numeric_limits<int>::max() / 2)) continue;
        PlanBuffers b(n, dir, 0);
        fftwf_plan p = make_plan(n, dir, b.in, b.out, FFTW_MEASURE | FFTW_WISDOM_ONLY);
        if (p != nullptr) {
            fftwf_destroy_plan(p);
        } else if (std::find(out.begin(), out.end(), std::make_pair(n, dir)) == out.end()) {
            out.emplace_back(n, dir);
        }
    }
    return out;
}

std::size_t learn(std::span<const std::pair<std::size_t, Direction>> keys, const std::filesystem::path& path,
                  const std::atomic<bool>& stop, double limit_secs) {
    std::size_t made = 0;
    for (const auto& [n, dir] : unmeasured(keys)) {
        if (stop.load()) break;
        // Planning buffers outside the lock: measuring overwrites them.
        PlanBuffers b(n, dir, 0);
        std::lock_guard lock(planner_mutex());
        fftwf_set_timelimit(limit_secs);
        fftwf_plan p = make_plan(n, dir, b.in, b.out, FFTW_MEASURE);
        fftwf_set_timelimit(FFTW_NO_TIMELIMIT);
        if (p != nullptr) {
            fftwf_destroy_plan(p);
            ++made;
        }
    }
    if (made == 0) return 0;
    std::string text;
    {
        std::lock_guard lock(planner_mutex());
        char* w = fftwf_export_wisdom_to_string();
        if (w != nullptr) {
            text = w;
            std::free(w);
        }
    }
    if (text.empty()) return made;
    if (auto r = api::client::write_atomic(path, text); !r)
        base::log::warn("Veltrum::engine::tf", "FFT wisdom not saved", {{"path", path.string()}, {"err", r.error()}});
    return made;
}

}  // namespace plan

void fft_forward(std::span<Complex> buf) { plan::forward(buf.size())->process(buf); }
void fft_inverse(std::span<Complex> buf) { plan::inverse(buf.size())->process(buf); }

}  // namespace engine::tf
