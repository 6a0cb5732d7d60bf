#pragma once
// Dense products, tall factorisations and hit counts in the form built for the processor
// (AVX-512, AVX2 with fused multiply-adds, or the portable SSE2 form), decided once per process;
// the environment variable DORV_KERNELS (auto, sse2, avx2, avx512) caps the choice. Work on many rows is split
// into chunks fixed by the sizes alone and their partial results are combined in chunk order,
// so a result is the same for every thread count.

#include <functional>

#include "common.hpp"
#include "kernel_forms.hpp"

namespace dorv {

// The form in use. Throws std::invalid_argument for a DORV_KERNELS value it does not know.
const KernelForm& kernel_form();

// False in a process forked after this one ran an OpenMP parallel region: GNU OpenMP cannot
// start one there, so the sampler's loop runs on the calling thread.
bool threads_usable();

// Number of chunks for work split by rows: at most `by_rows` (enough rows per chunk to pay for
// the chunk's own result) and one per 2^21 units of `work` (enough work per chunk to pay for
// handing it to a thread), between 1 and 64. Sizes only, never the thread count.
Index chunk_count(double by_rows, double work);

// First row of chunk c of n over m rows.
inline Index chunk_start(Index m, Index n, Index c) { return static_cast<Index>((m * c) / n); }

// Threads a parallel loop may use: OpenMP's setting (OMP_NUM_THREADS), at least 1.
Index thread_budget();

// body(c) for c = 0 ... n - 1, the chunks shared out among up to thread_budget() threads: the
// calling one and threads started for the call, which follow its stop source and end with the
// call (none waits busily for more work afterwards). The calling thread alone answers stop
// checks, so once out of chunks it keeps asking until the others are done. The first exception
// in chunk order is rethrown once all have finished.
void for_each_chunk(Index n, const std::function<void(Index)>& body);

// The LongStep of kernel_forms.hpp: step(state) on a thread of its own, started in this
// thread's floating-point environment (so that it computes what it would here, bit for bit),
// while this thread waits and answers stop checks. On a stop it throws at once and leaves
// `state` to the step's thread, which frees it with release(state) when the step ends. Without
// a stop source, or without a thread to be had, the step runs on this thread.
void run_unless_stopped(void (*step)(void* state), void* state, void (*release)(void* state));

// Fresh storage for a large result, made ready for writing: huge pages asked for, then every
// page touched in address order by slices of 32 MiB shared out as chunks, a stop point after
// each. The first touch of fresh memory costs seconds for gigabytes (the kernel zeroes each
// page, and may compact memory for huge ones), and a fill that touches the pages of many columns
// block by block could not stop before it had touched them nearly all. A hint only: where the
// system refuses it the fill touches the pages itself.
void prepare_fresh(double* data, Index size);

// Lower triangle of Xᵀ X into G (p, p) and Xᵀ y into g (p); the strictly upper triangle of G is
// zero. X (m, p), y (m).
void gram_lower(const MatrixView& X, const VectorView& y, Matrix& G, Vector& g);

// Triangular factor of a Householder QR of [X y] by a tall-skinny reduction: X (m, p), y (m)
// -> R (p + 1, p + 1), upper triangular, with Qᵀy in its last column.
Matrix tall_qr(const MatrixView& X, const VectorView& y);

// Rows with |(X b)[i] - y[i]| < eps, X b summed per row from column 0 up without fused
// multiply-adds. X (n, k) with n >= 2, b (k), y (n).
Index hits_of_product(const Matrix& X, const Vector& b, const Vector& y, double eps);

// Number of i < n with |p[i] - t[i]| < eps; a NaN difference is no hit. p (n), t (n).
Index hits_within(const double* p, const double* t, Index n, double eps);

}  // namespace dorv
