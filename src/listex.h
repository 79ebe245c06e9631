// Ordered queue of waiting packets with a pool of idle nodes. Nodes are never freed while the
// list lives: a node taken off the queue goes back to the idle chain.
// Single-threaded: one thread (the connector's receive thread) uses a list. The spin lock is
// held only for each pointer update; it keeps no sequence of calls (Head, then Pop) whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

namespace Vorn_R10 {

class CSpinLock {
public:
    void lock() {
        while (m_szLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { m_szLock.clear(std::memory_order_seq_cst); }

private:
    std::atomic_flag m_szLock = ATOMIC_FLAG_INIT;
};

class CSpinGuard {
public:
    explicit CSpinGuard(CSpinLock& lock) : m_lock(lock) { m_lock.lock(); }
    ~CSpinGuard() { m_lock.unlock(); }
    CSpinGuard(const CSpinGuard&) = delete;
    CSpinGuard& operator=(const CSpinGuard&) = delete;

private:
    CSpinLock& m_lock;
};

// T has a `pNext` link; a new node is value-initialised (all zero).
template <typename T>
class CListExImpl {
public:
    CListExImpl() = default;
    CListExImpl(const CListExImpl&) = delete;
    CListExImpl& operator=(const CListExImpl&) = delete;
    ~CListExImpl() {
        FreeAll();
        CSpinGuard guard(m_szLock);
        while (m_pIdleHead) {
            T* node = m_pIdleHead;
            m_pIdleHead = node->pNext;
            delete node;
        }
        m_iIdleCount = 0;
        m_iTotalCount = 0;
    }

    // Pre-allocates iInitCount idle nodes; the growth limit is set only if all were made.
    void Init(int32_t iInitCount, int32_t iMaxCount) {
        for (int32_t i = 0; i < iInitCount; ++i) {
            T* node = new (std::nothrow) T();
            if (!node) return;
            CSpinGuard guard(m_szLock);
            node->pNext = m_pIdleHead;
            m_pIdleHead = node;
            ++m_iIdleCount;
            ++m_iTotalCount;
        }
        m_iMaxCount = iMaxCount;
    }

    // An idle node, or a new one while the list owns fewer than the maximum; null otherwise.
    T* GetFree() {
        {
            CSpinGuard guard(m_szLock);
            if (m_pIdleHead) {
                T* node = m_pIdleHead;
                m_pIdleHead = node->pNext;
                node->pNext = nullptr;
                --m_iIdleCount;
                return node;
            }
            if (m_iTotalCount >= m_iMaxCount) return nullptr;
        }
        T* node = new (std::nothrow) T();
        if (node) {
            CSpinGuard guard(m_szLock);
            ++m_iTotalCount;
        }
        return node;
    }

    void Recycle(T* node) {
        CSpinGuard guard(m_szLock);
        node->pNext = m_pIdleHead;
        m_pIdleHead = node;
        ++m_iIdleCount;
    }

    void Push(T* node) {
        CSpinGuard guard(m_szLock);
        node->pNext = nullptr;
        if (m_pTail)
            m_pTail->pNext = node;
        else
            m_pHead = node;
        m_pTail = node;
        ++m_iQueueCount;
    }

    void PushHead(T* node) {
        CSpinGuard guard(m_szLock);
        node->pNext = m_pHead;
        m_pHead = node;
        if (!m_pTail) m_pTail = node;
        ++m_iQueueCount;
    }

    void InsertAfter(T* prev, T* node) {
        CSpinGuard guard(m_szLock);
        node->pNext = prev->pNext;
        prev->pNext = node;
        if (m_pTail == prev) m_pTail = node;
        ++m_iQueueCount;
    }

    T* Head() {
        CSpinGuard guard(m_szLock);
        return m_pHead;
    }

    void Pop() {
        CSpinGuard guard(m_szLock);
        if (!m_pHead) return;
        T* node = m_pHead;
        m_pHead = node->pNext;
        if (!m_pHead) m_pTail = nullptr;
        node->pNext = nullptr;
        --m_iQueueCount;
    }

    // Moves every queued node to the idle chain.
    void FreeAll() {
        CSpinGuard guard(m_szLock);
        while (m_pHead) {
            T* node = m_pHead;
            m_pHead = node->pNext;
            node->pNext = m_pIdleHead;
            m_pIdleHead = node;
            ++m_iIdleCount;
        }
        m_pTail = nullptr;
        m_iQueueCount = 0;
    }

    int32_t GetQueueCount() const { return m_iQueueCount; }
    int32_t GetIdleCount() const { return m_iIdleCount; }
    int32_t GetTotalCount() const { return m_iTotalCount; }
    int32_t GetMaxCount() const { return m_iMaxCount; }

private:
    T* m_pHead = nullptr;
    T* m_pTail = nullptr;
    T* m_pIdleHead = nullptr;
    CSpinLock m_szLock;
    int32_t m_iMaxCount = 0;
    int32_t m_iIdleCount = 0;
    int32_t m_iTotalCount = 0;
    int32_t m_iQueueCount = 0;
};

} // namespace Vorn_R10
