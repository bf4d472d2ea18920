// The wavelet filter bank, generic members: branch set-up, checks, frees, the
// analysis and synthesis branch runs, and the block loops of the fronts.
#include <limits.h>

#include "sp_buffers.h"
#include "sp_vector.h"
#include "sp_wavelet_internal.h"

namespace {

// Arrays of 32-bit elements whose count is worked out in 64 bits: a count the
// allocator cannot express gives null instead of a wrapped request.
float* AllocFloats(int64_t count) {
    if (count < 1 || count > INT32_MAX) return nullptr;
    return static_cast<float*>(sp_alloc_32(static_cast<int32_t>(count)));
}

template <class T>
T* AllocRecord() {
    T* record = static_cast<T*>(sp_alloc_bytes(static_cast<int32_t>(sizeof(T))));
    if (record != nullptr) sp_zero_bytes(record, static_cast<int32_t>(sizeof(T)));
    return record;
}

void Push(sp_wavelet_delay_line* line, float x) {
    line->buffer[line->index] = x;
    line->buffer[line->index + line->size] = x;
    line->index = line->index + 1 == line->size ? 0 : line->index + 1;
}

// The last line->size samples of `run` become the whole history.
void Refill(sp_wavelet_copy_fn copy, sp_wavelet_delay_line* line, const float* last) {
    copy(last, line->buffer, line->size);
    copy(last, line->buffer + line->size, line->size);
    line->index = 0;
}

// After consuming `count` samples of src through a line of d samples, the line
// holds the last d samples received.
void Keep(sp_wavelet_copy_fn copy, sp_wavelet_delay_line* line, const float* src, int32_t count) {
    if (count >= line->size) {
        Refill(copy, line, src + (count - line->size));
    } else {
        for (int32_t i = 0; i < count; ++i) Push(line, src[i]);
    }
}

const float* History(const sp_wavelet_delay_line* line) {
    return line->buffer + line->index;
}

// Sequential sum, oldest term first, in double.
double Dot(const float* w, const float* x, int32_t len) {
    double acc = 0.0;
    for (int32_t i = 0; i < len; ++i) acc += static_cast<double>(w[i]) * x[i];
    return acc;
}

// The body's grouped sum for eight taps and more: the first four terms in
// order, then each group of four (or a last group of two or three) summed by
// itself and added, a last single term added directly.
double GroupedDot(const float* w, const float* x, int32_t len) {
    double acc = 0.0;
    for (int32_t i = 0; i < 4; ++i) acc += static_cast<double>(w[i]) * x[i];
    int32_t i = 4;
    while (len - i >= 2) {
        const int32_t g = len - i >= 4 ? 4 : len - i;
        double part = static_cast<double>(w[i]) * x[i];
        for (int32_t j = 1; j < g; ++j) part += static_cast<double>(w[i + j]) * x[i + j];
        acc += part;
        i += g;
    }
    if (i < len) acc += static_cast<double>(w[i]) * x[i];
    return acc;
}

// One source run through the decimating filter: a head through the delay
// line until the phase is 0 with len - 1 samples behind it, then the body
// straight from the run.
int32_t SplitFilterRun(const sp_wavelet_split_kernels& k, sp_wavelet_split_filter* f,
                       const float* run, int32_t r, float* dst) {
    const int32_t len = f->len;
    int32_t p = f->phase;
    const int32_t lead = len - ((len & 1) ^ p);
    const int32_t h = lead < r ? lead : r;
    int32_t written = 0;
    for (int32_t i = 0; i < h; ++i) {
        Push(f->delay, run[i]);
        if (p == 0) dst[written++] = k.head(f->reversed, History(f->delay), len);
        p ^= 1;
    }
    if (r > h) {
        const int32_t c = (r - h + 1) / 2;
        k.body(f->table, run + h, dst + written, c);
        written += c;
        Refill(k.copy, f->delay, run + (r - len));
        p = (r - h) & 1;
    }
    f->phase = p;
    return written;
}

// One output of a synthesis filter from its delay line, by the phase.
double EvenSum(const sp_wavelet_merge_kernels& k, const sp_wavelet_merge_filter* f) {
    return k.dot(f->even, History(f->delay), f->ne);
}
double OddSum(const sp_wavelet_merge_kernels& k, const sp_wavelet_merge_filter* f) {
    return f->no == 0 ? 0.0 : k.dot(f->odd, History(f->delay) + (f->ne - f->no), f->no);
}

// The add forms add the old output in double and round once; for the SIMD
// members `sum` is already an f32 value, which makes that their f32 addition.
template <bool Add>
void Store(float* dst, double sum) {
    if (Add) sum += static_cast<double>(*dst);
    *dst = static_cast<float>(sum);
}

// Two outputs from one band sample; the phase is unchanged.
template <bool Add>
void MergePair(const sp_wavelet_merge_kernels& k, sp_wavelet_merge_filter* f, float x, float* out) {
    if (f->phase == 0) {
        Push(f->delay, x);
        Store<Add>(out, EvenSum(k, f));
        Store<Add>(out + 1, OddSum(k, f));
    } else {
        Store<Add>(out, OddSum(k, f));
        Push(f->delay, x);
        Store<Add>(out + 1, EvenSum(k, f));
    }
}

// The outputs that reach into the delay line; returns band samples consumed.
template <bool Add>
int32_t MergeHead(const sp_wavelet_merge_kernels& k, sp_wavelet_merge_filter* f, const float* src,
                  float* dst, int32_t h) {
    int32_t used = 0;
    int32_t w = 0;
    for (; h - w >= 2; w += 2) MergePair<Add>(k, f, src[used++], dst + w);
    if (w < h) {
        if (f->phase == 0) {
            Push(f->delay, src[used++]);
            Store<Add>(dst + w, EvenSum(k, f));
        } else {
            Store<Add>(dst + w, OddSum(k, f));
        }
        f->phase ^= 1;
    }
    return used;
}

// k outputs straight from the band at phase 0: a[i] gives the even sum over
// a[i - ne + 1 .. i], then the odd sum over a[i - no + 1 .. i].
template <bool Add>
void MergeBody(const sp_wavelet_merge_taps* t, const float* a, float* dst, int32_t k) {
    for (int32_t w = 0; w < k; w += 2, ++a) {
        Store<Add>(dst + w, Dot(t->even, a - (t->ne - 1), t->ne));
        if (w + 1 < k)
            Store<Add>(dst + w + 1, t->no == 0 ? 0.0 : Dot(t->odd, a - (t->no - 1), t->no));
    }
}

template <bool Add>
int32_t MergeFilterRun(const sp_wavelet_merge_kernels& kn, sp_wavelet_merge_filter* f,
                       const float* a, float* dst, int32_t k) {
    const int32_t q = (k - f->phase + 1) / 2;
    const int32_t lead = f->len - (f->phase ^ (f->len & 1));
    const int32_t h = lead < k ? lead : k;
    const int32_t used = MergeHead<Add>(kn, f, a, dst, h);
    if (k > h) {
        (Add ? kn.bodyAdd : kn.body)(f->table, a + used, dst + h, k - h, f->phase);
        Refill(kn.copy, f->delay, a + (q - f->ne));
        f->phase = (k - h) & 1;
    }
    return q;
}

template <bool Add>
int32_t MergeBranchRun(const sp_wavelet_merge_kernels& kn, sp_wavelet_merge_branch* b,
                       const float* src, float* dst, int32_t k) {
    sp_wavelet_delay_line* line = b->offsetDelay;
    if (line == nullptr) return MergeFilterRun<Add>(kn, b->filter, src, dst, k);
    const int64_t delayed = 2 * static_cast<int64_t>(line->size);
    const int32_t k1 = delayed < k ? static_cast<int32_t>(delayed) : k;
    int32_t used = MergeFilterRun<Add>(kn, b->filter, History(line), dst, k1);
    if (k > k1) used += MergeFilterRun<Add>(kn, b->filter, src, dst + k1, k - k1);
    Keep(kn.copy, line, src, used);
    return used;
}

// The generic body runs at phase 0 only, where the filter run enters it.
void GenericBody(const sp_wavelet_merge_taps* t, const float* a, float* dst, int32_t k, int32_t) {
    MergeBody<false>(t, a, dst, k);
}
void GenericBodyAdd(const sp_wavelet_merge_taps* t, const float* a, float* dst, int32_t k,
                    int32_t) {
    MergeBody<true>(t, a, dst, k);
}

const sp_wavelet_merge_kernels kGenericMerge = {Dot, GenericBody, GenericBodyAdd, sp_copy_f32};

}  // namespace

// ---- Set-up ---------------------------------------------------------------------

sp_wavelet_delay_line* sp_wavelet_delay_line_create(int32_t size) {
    if (size < 1) return nullptr;
    sp_wavelet_delay_line* line = AllocRecord<sp_wavelet_delay_line>();
    if (line == nullptr) return nullptr;
    line->buffer = AllocFloats(2 * static_cast<int64_t>(size));
    if (line->buffer == nullptr) {
        sp_free(line);
        return nullptr;
    }
    sp_zero_f32(line->buffer, 2 * size);
    line->size = size;
    line->index = 0;
    return line;
}

void sp_wavelet_delay_line_free(sp_wavelet_delay_line* line) {
    if (line == nullptr) return;
    sp_free(line->buffer);
    sp_free(line);
}

sp_wavelet_split_taps* sp_wavelet_split_taps_create(const float* taps, int32_t len, bool pairs) {
    sp_wavelet_split_taps* t = AllocRecord<sp_wavelet_split_taps>();
    if (t == nullptr) return nullptr;
    t->taps = AllocFloats(len);
    // The pair table: groups {taps[k], taps[k - 1]} twice, k from len - 1
    // down by two; an odd len ends with {taps[0], 0, taps[0], 0}.
    const int64_t second = pairs ? 4 * ((static_cast<int64_t>(len) + 1) / 2) : len;
    t->second = t->taps != nullptr ? AllocFloats(second) : nullptr;
    if (t->second == nullptr) {
        sp_wavelet_taps_free(t);
        return nullptr;
    }
    t->len = len;
    t->pairs = pairs ? 1 : 0;
    for (int32_t k = 0; k < len; ++k) t->taps[k] = taps[k];
    if (!pairs) {
        for (int32_t k = 0; k < len; ++k) t->second[len - 1 - k] = taps[k];
        return t;
    }
    float* g = t->second;
    for (int32_t k = len - 1; k >= 0; k -= 2, g += 4) {
        const float older = k > 0 ? taps[k - 1] : 0.0f;
        g[0] = g[2] = taps[k];
        g[1] = g[3] = older;
    }
    return t;
}

void sp_wavelet_taps_free(sp_wavelet_split_taps* table) {
    if (table == nullptr) return;
    sp_free(table->second);
    sp_free(table->taps);
    sp_free(table);
}

sp_wavelet_split_branch* sp_wavelet_split_branch_build(const float* taps, int32_t len,
                                                       int32_t offset, bool pairs) {
    sp_wavelet_split_branch* b = AllocRecord<sp_wavelet_split_branch>();
    if (b == nullptr) return nullptr;
    const int32_t d = offset == -1 ? 0 : offset;
    sp_wavelet_split_filter* f = AllocRecord<sp_wavelet_split_filter>();
    b->filter = f;
    if (f != nullptr) {
        f->table = sp_wavelet_split_taps_create(taps, len, pairs);
        f->delay = f->table != nullptr ? sp_wavelet_delay_line_create(len) : nullptr;
        f->reversed = f->delay != nullptr ? AllocFloats(len) : nullptr;
        if (f->reversed != nullptr) {
            for (int32_t k = 0; k < len; ++k) f->reversed[len - 1 - k] = taps[k];
            f->len = len;
            f->phase = offset == -1 ? 1 : 0;
        }
    }
    if (f != nullptr && f->reversed != nullptr && d > 0)
        b->offsetDelay = sp_wavelet_delay_line_create(d);
    if (f == nullptr || f->reversed == nullptr || (d > 0 && b->offsetDelay == nullptr)) {
        sp_wavelet_split_branch_free(b);
        return nullptr;
    }
    return b;
}

void sp_wavelet_split_branch_free(sp_wavelet_split_branch* branch) {
    if (branch == nullptr) return;
    sp_wavelet_split_filter* f = branch->filter;
    if (f != nullptr) {
        sp_free(f->reversed);
        sp_wavelet_delay_line_free(f->delay);
        sp_wavelet_taps_free(f->table);
        sp_free(f);
    }
    sp_wavelet_delay_line_free(branch->offsetDelay);
    sp_free(branch);
}

// Fills the polyphase arrays of `len` taps: even[ne - 1 - j] = taps[2j],
// odd[no - 1 - j] = taps[2j + 1].
static void FillPolyphase(const float* taps, int32_t len, float* even, float* odd) {
    const int32_t ne = (len + 1) / 2;
    const int32_t no = len / 2;
    for (int32_t j = 0; j < ne; ++j) even[ne - 1 - j] = taps[2 * j];
    for (int32_t j = 0; j < no; ++j) odd[no - 1 - j] = taps[2 * j + 1];
}

sp_wavelet_merge_taps* sp_wavelet_merge_taps_create(const float* taps, int32_t len,
                                                    bool broadcast) {
    sp_wavelet_merge_taps* t = AllocRecord<sp_wavelet_merge_taps>();
    if (t == nullptr) return nullptr;
    const int32_t ne = (len + 1) / 2;
    const int32_t no = len / 2;
    t->taps = AllocFloats(len);
    bool made = t->taps != nullptr;
    if (broadcast) {
        t->broadcast = made ? AllocFloats(8 * ((static_cast<int64_t>(len) + 1) / 2)) : nullptr;
        made = t->broadcast != nullptr;
    } else {
        t->even = made ? AllocFloats(ne) : nullptr;
        t->odd = t->even != nullptr && no > 0 ? AllocFloats(no) : nullptr;
        made = t->even != nullptr && (no == 0 || t->odd != nullptr);
    }
    if (!made) {
        sp_wavelet_merge_taps_free(t);
        return nullptr;
    }
    t->len = len;
    for (int32_t k = 0; k < len; ++k) t->taps[k] = taps[k];
    if (!broadcast) {
        t->ne = ne;
        t->no = no;
        FillPolyphase(taps, len, t->even, t->odd);
        return t;
    }
    float* g = t->broadcast;
    for (int32_t k = len - 1; k >= 0; --k, g += 4) g[0] = g[1] = g[2] = g[3] = taps[k];
    if (len & 1) g[0] = g[1] = g[2] = g[3] = 0.0f;
    return t;
}

void sp_wavelet_merge_taps_free(sp_wavelet_merge_taps* table) {
    if (table == nullptr) return;
    sp_free(table->broadcast);
    sp_free(table->odd);
    sp_free(table->even);
    sp_free(table->taps);
    sp_free(table);
}

sp_wavelet_merge_filter* sp_wavelet_merge_filter_create(const float* taps, int32_t len,
                                                        int32_t phase, bool broadcast) {
    sp_wavelet_merge_filter* f = AllocRecord<sp_wavelet_merge_filter>();
    if (f == nullptr) return nullptr;
    const int32_t ne = (len + 1) / 2;
    const int32_t no = len / 2;
    f->table = sp_wavelet_merge_taps_create(taps, len, broadcast);
    f->even = f->table != nullptr ? AllocFloats(ne) : nullptr;
    f->odd = f->even != nullptr && no > 0 ? AllocFloats(no) : nullptr;
    const bool tapsMade = f->even != nullptr && (no == 0 || f->odd != nullptr);
    f->delay = tapsMade ? sp_wavelet_delay_line_create(ne) : nullptr;
    if (f->delay == nullptr) {
        sp_wavelet_merge_filter_free(f);
        return nullptr;
    }
    f->len = len;
    f->phase = phase;
    f->ne = ne;
    f->no = no;
    FillPolyphase(taps, len, f->even, f->odd);
    return f;
}

void sp_wavelet_merge_filter_free(sp_wavelet_merge_filter* filter) {
    if (filter == nullptr) return;
    sp_free(filter->even);
    sp_free(filter->odd);
    sp_wavelet_delay_line_free(filter->delay);
    sp_wavelet_merge_taps_free(filter->table);
    sp_free(filter);
}

sp_wavelet_merge_branch* sp_wavelet_merge_branch_build(const float* taps, int32_t len,
                                                       int32_t offset, bool broadcast) {
    sp_wavelet_merge_branch* b = AllocRecord<sp_wavelet_merge_branch>();
    if (b == nullptr) return nullptr;
    b->filter = sp_wavelet_merge_filter_create(taps, len, offset & 1, broadcast);
    const int32_t d = offset / 2;
    if (b->filter != nullptr && d > 0) b->offsetDelay = sp_wavelet_delay_line_create(d);
    if (b->filter == nullptr || (d > 0 && b->offsetDelay == nullptr)) {
        sp_wavelet_merge_branch_free(b);
        return nullptr;
    }
    return b;
}

sp_wavelet_merge_branch* sp_wavelet_merge_branch_create(const float* taps, int32_t len,
                                                        int32_t offset) {
    return sp_wavelet_merge_branch_build(taps, len, offset, false);
}

void sp_wavelet_merge_branch_free(sp_wavelet_merge_branch* branch) {
    if (branch == nullptr) return;
    sp_wavelet_merge_filter_free(branch->filter);
    sp_wavelet_delay_line_free(branch->offsetDelay);
    sp_free(branch);
}

// ---- Checks ---------------------------------------------------------------------

int32_t sp_wavelet_delay_line_check(const sp_wavelet_delay_line* line) {
    return line != nullptr && line->buffer != nullptr && line->size >= 1 && line->index >= 0 &&
           line->index < line->size;
}

int32_t sp_wavelet_split_taps_check(const sp_wavelet_split_taps* table) {
    return table != nullptr && table->len > 0 && table->taps != nullptr && table->second != nullptr;
}

// Beyond each field's own range, the sizes must agree with each other: the
// runs read len taps and a history of len samples.
int32_t sp_wavelet_branch_check(const sp_wavelet_split_branch* branch) {
    if (branch == nullptr) return 0;
    const sp_wavelet_split_filter* f = branch->filter;
    if (f == nullptr || !sp_wavelet_split_taps_check(f->table) ||
        !sp_wavelet_delay_line_check(f->delay) || f->reversed == nullptr || f->len < 1 ||
        (f->phase != 0 && f->phase != 1) || f->table->len != f->len || f->delay->size != f->len)
        return 0;
    return branch->offsetDelay == nullptr || sp_wavelet_delay_line_check(branch->offsetDelay);
}

int32_t sp_wavelet_merge_taps_check(const sp_wavelet_merge_taps* table) {
    return table != nullptr && table->len > 0 && table->taps != nullptr && table->even != nullptr &&
           table->ne == (table->len + 1) / 2 && table->no == table->len / 2 &&
           (table->no == 0 || table->odd != nullptr);
}

int32_t sp_wavelet_merge_taps_check_sse3(const sp_wavelet_merge_taps* table) {
    return table != nullptr && table->len > 0 && table->taps != nullptr &&
           table->broadcast != nullptr;
}

int32_t sp_wavelet_merge_taps_check_sse(const sp_wavelet_merge_taps* table) {
    return sp_wavelet_merge_taps_check_sse3(table);
}

namespace {

// The filter's own fields, whatever the table's layout; the sizes must agree
// with each other, as the runs read len taps and ne samples of history.
bool MergeFilterSound(const sp_wavelet_merge_filter* f,
                      int32_t (*tapsCheck)(const sp_wavelet_merge_taps*)) {
    return f != nullptr && tapsCheck(f->table) && sp_wavelet_delay_line_check(f->delay) &&
           f->len >= 1 && f->table->len == f->len && f->even != nullptr &&
           f->ne == (f->len + 1) / 2 && f->no == f->len / 2 && (f->no == 0 || f->odd != nullptr) &&
           f->delay->size == f->ne && (f->phase == 0 || f->phase == 1);
}

bool MergeBranchSound(const sp_wavelet_merge_branch* b,
                      int32_t (*filterCheck)(const sp_wavelet_merge_filter*)) {
    return b != nullptr && filterCheck(b->filter) &&
           (b->offsetDelay == nullptr || sp_wavelet_delay_line_check(b->offsetDelay));
}

}  // namespace

int32_t sp_wavelet_merge_filter_check(const sp_wavelet_merge_filter* filter) {
    return MergeFilterSound(filter, sp_wavelet_merge_taps_check);
}
int32_t sp_wavelet_merge_filter_check_sse3(const sp_wavelet_merge_filter* filter) {
    return MergeFilterSound(filter, sp_wavelet_merge_taps_check_sse3);
}
int32_t sp_wavelet_merge_filter_check_sse(const sp_wavelet_merge_filter* filter) {
    return MergeFilterSound(filter, sp_wavelet_merge_taps_check_sse);
}

int32_t sp_wavelet_merge_branch_check(const sp_wavelet_merge_branch* branch) {
    return MergeBranchSound(branch, sp_wavelet_merge_filter_check);
}
int32_t sp_wavelet_merge_branch_check_sse3(const sp_wavelet_merge_branch* branch) {
    return MergeBranchSound(branch, sp_wavelet_merge_filter_check_sse3);
}
int32_t sp_wavelet_merge_branch_check_sse(const sp_wavelet_merge_branch* branch) {
    return MergeBranchSound(branch, sp_wavelet_merge_filter_check_sse);
}

// ---- Runs -------------------------------------------------------------------------

void sp_wavelet_split_body(const sp_wavelet_split_taps* table, const float* s, float* dst,
                           int32_t c) {
    const int32_t len = table->len;
    s -= len - 1;
    for (int32_t j = 0; j < c; ++j, s += 2)
        dst[j] = static_cast<float>(len >= 8 ? GroupedDot(table->second, s, len)
                                             : Dot(table->second, s, len));
}

int32_t sp_wavelet_split_branch_run_with(const sp_wavelet_split_kernels& k,
                                         sp_wavelet_split_branch* branch, const float* src,
                                         int32_t n, float* dst) {
    sp_wavelet_delay_line* line = branch->offsetDelay;
    if (line == nullptr) return SplitFilterRun(k, branch->filter, src, n, dst);
    const int32_t m = line->size < n ? line->size : n;
    int32_t written = SplitFilterRun(k, branch->filter, History(line), m, dst);
    written += SplitFilterRun(k, branch->filter, src, n - m, dst + written);
    Keep(k.copy, line, src, n);
    return written;
}

static float SplitHead(const float* reversed, const float* window, int32_t len) {
    return static_cast<float>(Dot(reversed, window, len));
}

int32_t sp_wavelet_split_branch_run(sp_wavelet_split_branch* branch, const float* src, int32_t n,
                                    float* dst) {
    static const sp_wavelet_split_kernels kGeneric = {SplitHead, sp_wavelet_split_body,
                                                      sp_copy_f32};
    return sp_wavelet_split_branch_run_with(kGeneric, branch, src, n, dst);
}

sp_wavelet_split_branch* sp_wavelet_split_branch_create(const float* taps, int32_t len,
                                                        int32_t offset) {
    return sp_wavelet_split_branch_build(taps, len, offset, false);
}

int32_t sp_wavelet_merge_filter_run(sp_wavelet_merge_filter* filter, const float* src, float* dst,
                                    int32_t k) {
    return MergeFilterRun<false>(kGenericMerge, filter, src, dst, k);
}
int32_t sp_wavelet_merge_filter_run_add(sp_wavelet_merge_filter* filter, const float* src,
                                        float* dst, int32_t k) {
    return MergeFilterRun<true>(kGenericMerge, filter, src, dst, k);
}
int32_t sp_wavelet_merge_branch_run_with(const sp_wavelet_merge_kernels& kernels, bool add,
                                         sp_wavelet_merge_branch* branch, const float* src,
                                         float* dst, int32_t k) {
    return add ? MergeBranchRun<true>(kernels, branch, src, dst, k)
               : MergeBranchRun<false>(kernels, branch, src, dst, k);
}
int32_t sp_wavelet_merge_branch_run(sp_wavelet_merge_branch* branch, const float* src, float* dst,
                                    int32_t k) {
    return MergeBranchRun<false>(kGenericMerge, branch, src, dst, k);
}
int32_t sp_wavelet_merge_branch_run_add(sp_wavelet_merge_branch* branch, const float* src,
                                        float* dst, int32_t k) {
    return MergeBranchRun<true>(kGenericMerge, branch, src, dst, k);
}

void sp_wavelet_merge_body_with(sp_wavelet_merge_kernel_fn kernel, bool add,
                                const sp_wavelet_merge_taps* t, const float* in, float* out,
                                int32_t count, int32_t phase) {
    const int32_t len = t->len;
    if (len == 1) {
        const float tap = t->taps[0];
        for (int32_t o = 0; o < count; ++o) {
            if (((o & 1) ^ phase) == 0)
                out[o] = add ? in[o / 2] * tap + out[o] : in[o / 2] * tap;
            else if (!add)
                out[o] = 0.0f;
        }
        return;
    }
    // Odd len: the first output is A of the window ending at in[phase]; even
    // len: the first output at phase 0 is B of the window ending at in[0].
    const int32_t ne = (len + 1) / 2;
    if (len & 1)
        kernel(in + phase + 1 - ne, out, count, t->taps, len, phase, t->broadcast);
    else
        kernel(in + 1 - ne, out, count, t->taps, len, 1 - phase, t->broadcast);
}

// ---- Fronts -----------------------------------------------------------------------

namespace {

sp_status CheckCreate(const void* ppState, const float* taps1, int32_t len1, int32_t offset1,
                      const float* taps2, int32_t len2, int32_t offset2) {
    if (ppState == nullptr || taps1 == nullptr) return sp_status_null_ptr;
    if (len1 < 1) return sp_status_bad_size;
    if (taps2 == nullptr) return sp_status_null_ptr;
    if (len2 < 1) return sp_status_bad_size;
    if (offset1 < -1 || offset2 < -1) return sp_status_wavelet_offset;
    return sp_status_ok;
}

// The parts of a state both sides share: kind, work buffer and length.
template <class State>
bool WorkConsistent(const State* s, int32_t kind) {
    return s->kind == kind && s->workLength >= 0 && (s->work != nullptr) == (s->workLength != 0);
}

// A run works in blocks of kWaveletWorkLength samples: a state whose work
// length is shorter (only a corrupted one) has no room for a block, and run
// and free hold a state to the same checks.
template <class State>
bool RunConsistent(const State* s, int32_t kind) {
    return WorkConsistent(s, kind) && s->workLength >= kWaveletWorkLength;
}

// The common body of both creates: the side's branch builder and free.
template <class State, class Branch>
sp_status CreateBody(State** ppState, const float* taps1, int32_t len1, int32_t offset1,
                     const float* taps2, int32_t len2, int32_t offset2, int32_t kind,
                     int32_t workLength, Branch* (*build)(const float*, int32_t, int32_t),
                     void (*release)(Branch*)) {
    const sp_status status = CheckCreate(ppState, taps1, len1, offset1, taps2, len2, offset2);
    if (status != sp_status_ok) return status;
    State* s = AllocRecord<State>();
    if (s != nullptr) {
        s->branch1 = build(taps1, len1, offset1);
        s->branch2 = s->branch1 != nullptr ? build(taps2, len2, offset2) : nullptr;
        s->workLength = workLength;
        s->work = s->branch2 != nullptr ? AllocFloats(workLength) : nullptr;
        if (s->work != nullptr) {
            s->kind = kind;
            *ppState = s;
            return sp_status_ok;
        }
        release(s->branch1);
        release(s->branch2);
        sp_free(s);
    }
    *ppState = nullptr;
    return sp_status_no_memory;
}

template <class State, class Branch>
sp_status FreeBody(State* s, int32_t kind, int32_t (*check)(const Branch*),
                   void (*release)(Branch*)) {
    if (s == nullptr) return sp_status_null_ptr;
    if (!RunConsistent(s, kind) || !check(s->branch1) || !check(s->branch2))
        return sp_status_wrong_state;
    release(s->branch1);
    release(s->branch2);
    sp_free(s->work);
    sp_free(s);
    return sp_status_ok;
}

}  // namespace

sp_status sp_wavelet_split_create(sp_wavelet_split_state** ppState, const float* taps1,
                                  int32_t len1, int32_t offset1, const float* taps2, int32_t len2,
                                  int32_t offset2) {
    return sp_wavelet_split_create_with(sp_wavelet_split_branch_create, ppState, taps1, len1,
                                        offset1, taps2, len2, offset2);
}

sp_status sp_wavelet_split_create_with(sp_wavelet_split_builder build,
                                       sp_wavelet_split_state** ppState, const float* taps1,
                                       int32_t len1, int32_t offset1, const float* taps2,
                                       int32_t len2, int32_t offset2) {
    return CreateBody(ppState, taps1, len1, offset1, taps2, len2, offset2, kWaveletSplitKind,
                      kWaveletWorkLength, build, sp_wavelet_split_branch_free);
}

sp_status sp_wavelet_merge_create(sp_wavelet_merge_state** ppState, const float* taps1,
                                  int32_t len1, int32_t offset1, const float* taps2, int32_t len2,
                                  int32_t offset2) {
    return sp_wavelet_merge_create_with(sp_wavelet_merge_branch_create, ppState, taps1, len1,
                                        offset1, taps2, len2, offset2);
}

sp_status sp_wavelet_merge_create_with(sp_wavelet_merge_builder build,
                                       sp_wavelet_merge_state** ppState, const float* taps1,
                                       int32_t len1, int32_t offset1, const float* taps2,
                                       int32_t len2, int32_t offset2) {
    return CreateBody(ppState, taps1, len1, offset1, taps2, len2, offset2, kWaveletMergeKind,
                      kWaveletWorkLength, build, sp_wavelet_merge_branch_free);
}

sp_status sp_wavelet_split_free(sp_wavelet_split_state* state) {
    return FreeBody(state, kWaveletSplitKind, sp_wavelet_branch_check,
                    sp_wavelet_split_branch_free);
}

// The SIMD frees release the same records: only the check's name differs.
sp_status sp_wavelet_split_free_sse(sp_wavelet_split_state* state) {
    return FreeBody(state, kWaveletSplitKind, sp_wavelet_branch_check,
                    sp_wavelet_split_branch_free);
}

sp_status sp_wavelet_split_free_sse2(sp_wavelet_split_state* state) {
    return FreeBody(state, kWaveletSplitKind, sp_wavelet_split_branch_check,
                    sp_wavelet_split_branch_free);
}

int32_t sp_wavelet_split_branch_check(const sp_wavelet_split_branch* branch) {
    return sp_wavelet_branch_check(branch);
}

sp_status sp_wavelet_merge_free(sp_wavelet_merge_state* state) {
    return FreeBody(state, kWaveletMergeKind, sp_wavelet_merge_branch_check,
                    sp_wavelet_merge_branch_free);
}

sp_status sp_wavelet_merge_free_sse(sp_wavelet_merge_state* state) {
    return FreeBody(state, kWaveletMergeKind, sp_wavelet_merge_branch_check_sse,
                    sp_wavelet_merge_branch_free);
}

sp_status sp_wavelet_merge_free_sse2(sp_wavelet_merge_state* state) {
    return FreeBody(state, kWaveletMergeKind, sp_wavelet_merge_branch_check_sse3,
                    sp_wavelet_merge_branch_free);
}

sp_status sp_wavelet_split_run(const int16_t* src, float* band1, float* band2, int32_t len,
                               sp_wavelet_split_state* state) {
    static const sp_wavelet_split_front kGeneric = {
        sp_wavelet_branch_check, 0, sp_convert_i16_to_f32, sp_wavelet_split_branch_run};
    return sp_wavelet_split_run_with(kGeneric, src, band1, band2, len, state);
}

sp_status sp_wavelet_split_run_with(const sp_wavelet_split_front& v, const int16_t* src,
                                    float* band1, float* band2, int32_t len,
                                    sp_wavelet_split_state* state) {
    if (state == nullptr) return sp_status_null_ptr;
    if (!RunConsistent(state, kWaveletSplitKind) || !v.check(state->branch1) ||
        !v.check(state->branch2) || state->branch1->filter->table->pairs != v.pairs ||
        state->branch2->filter->table->pairs != v.pairs)
        return sp_status_wrong_state;
    if (src == nullptr || band1 == nullptr || band2 == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    constexpr int32_t perBand = kWaveletWorkLength / 2;
    for (int32_t i = 0; i < len; i += perBand) {
        const int32_t values = len - i < perBand ? len - i : perBand;
        v.convert(src + 2 * static_cast<int64_t>(i), state->work, 2 * values);
        v.run(state->branch1, state->work, 2 * values, band1 + i);
        v.run(state->branch2, state->work, 2 * values, band2 + i);
    }
    return sp_status_ok;
}

sp_status sp_wavelet_merge_run(const float* band1, const float* band2, int32_t len, int16_t* dst,
                               sp_wavelet_merge_state* state) {
    static const sp_wavelet_merge_front kGeneric = {
        sp_wavelet_merge_branch_check, sp_wavelet_merge_branch_run, sp_wavelet_merge_branch_run_add,
        sp_convert_f32_to_i16_scaled};
    return sp_wavelet_merge_run_with(kGeneric, band1, band2, len, dst, state);
}

sp_status sp_wavelet_merge_run_with(const sp_wavelet_merge_front& v, const float* band1,
                                    const float* band2, int32_t len, int16_t* dst,
                                    sp_wavelet_merge_state* state) {
    if (state == nullptr) return sp_status_null_ptr;
    if (!RunConsistent(state, kWaveletMergeKind) || !v.check(state->branch1) ||
        !v.check(state->branch2))
        return sp_status_wrong_state;
    if (band1 == nullptr || band2 == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    if (dst == nullptr) return sp_status_null_ptr;
    constexpr int32_t perBand = kWaveletWorkLength / 2;
    for (int32_t i = 0; i < len; i += perBand) {
        const int32_t values = len - i < perBand ? len - i : perBand;
        v.run(state->branch1, band1 + i, state->work, 2 * values);
        v.runAdd(state->branch2, band2 + i, state->work, 2 * values);
        v.convert(state->work, dst + 2 * static_cast<int64_t>(i), 2 * values, 1, 0);
    }
    return sp_status_ok;
}
