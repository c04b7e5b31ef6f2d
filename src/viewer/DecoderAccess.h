#pragma once
// DecoderAccess: DecoderImager and DecodeLock as one. The decoder's image is reached only
// through a Lease, which holds the lock for as long as it lives, so "DecoderImager is used
// under DecodeLock" is a rule the compiler keeps: code without a Lease has no way to it.
// Silencing a running load needs no lock (an atomic flag), and is offered beside.

#include "imaging/WindowlessImager.h"

#include <mutex>

namespace oxlume {

class DecoderAccess {
public:
    // decoder must outlive this.
    explicit DecoderAccess(imaging::WindowlessImager &decoder)
        : m_decoder(decoder)
    {
    }
    DecoderAccess(const DecoderAccess &) = delete;
    DecoderAccess &operator=(const DecoderAccess &) = delete;

    class Lease {
    public:
        imaging::WindowlessImager *operator->() const { return &m_decoder; }
        imaging::WindowlessImager &operator*() const { return m_decoder; }

    private:
        friend class DecoderAccess;
        Lease(std::mutex &lock, imaging::WindowlessImager &decoder)
            : m_hold(lock)
            , m_decoder(decoder)
        {
        }
        std::lock_guard<std::mutex> m_hold;
        imaging::WindowlessImager &m_decoder;
    };

    // Takes DecodeLock; waits while another thread holds it.
    [[nodiscard]] Lease lease() { return Lease(m_lock, m_decoder); }

    // DecodeLock itself, for the Options dialog's wait for a running decode: taken and
    // released, it gives no way to the decoder.
    std::mutex &lock() { return m_lock; }

    // Any thread, no lock: EnableProgressEvent of the decoder.
    bool progressEnabled() const { return m_decoder.EnableProgressEvent(); }
    void silence() { m_decoder.setEnableProgressEvent(false); }

private:
    std::mutex m_lock; // DecodeLock
    imaging::WindowlessImager &m_decoder;
};

} // namespace oxlume
