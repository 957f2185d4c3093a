// FFT plans: the calling thread's planner, the transforms it hands out and
// the plan wisdom kept in the data folder between runs.
#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <mutex>

#include "api/client.h"
#include "base/log.h"
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

Fft::Fft(std::size_t len, Direction dir) : len_(len), dir_(dir), impl_(std::make_unique<Impl>()) {
    if (len_ == 0) return;
    if (len_ > static_cast<std::size_t>(std::numeric_limits<int>::max() / 2)) std::abort();
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
    auto* i = const_cast<float*>(in.data());  // not written: out of place, the input is kept
    auto* o = reinterpret_cast<fftwf_complex*>(out.data());
    const fftwf_plan plan = impl_->for_buffers(len_, dir_, i, o);
    execute([&] { fftwf_execute_dft_r2c(plan, i, o); });
}

void Fft::process(std::span<Complex> in, std::span<float> out) const {
    if (dir_ != Direction::RealInverse || in.size() != len_ / 2 + 1 || out.size() != len_) std::abort();
    if (len_ == 0) return;
    auto* i = reinterpret_cast<fftwf_complex*>(in.data());
    const fftwf_plan plan = impl_->for_buffers(len_, dir_, i, out.data());
    execute([&] { fftwf_execute_dft_c2r(plan, i, out.data()); });
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
    std::vector<std::pair<std::size_t, Direction>> out;
    std::lock_guard lock(planner_mutex());
    for (const auto& [n, dir] : keys) {
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
