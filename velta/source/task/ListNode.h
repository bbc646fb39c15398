// Internal: node of a circular doubly linked intrusive list. The link lives
// in the element; an unlinked node points to itself, so detach() is safe to
// call twice and empty() tells whether a node is linked.
#pragma once

class ListNode {
public:
    ListNode() { init(); }
    ListNode(const ListNode&) = delete;
    ListNode& operator=(const ListNode&) = delete;

    void init() { m_prev = m_next = this; }

    // Links this node immediately before pos.
    void insert(ListNode* pos)
    {
        m_next = pos;
        m_prev = pos->m_prev;
        pos->m_prev->m_next = this;
        pos->m_prev = this;
    }

    void detach()
    {
        m_prev->m_next = m_next;
        m_next->m_prev = m_prev;
        init();
    }

    bool empty() const { return m_next == this; }

    ListNode* m_prev;
    ListNode* m_next;
};
