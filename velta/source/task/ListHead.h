// Internal: the sentinel of an intrusive list of ListNode.
#pragma once

#include "velta/source/task/ListNode.h"

class ListHead : public ListNode {
public:
    void push_back(ListNode* node) { node->insert(this); }
    ListNode* head() const { return m_next; }
    ListNode* tail() const { return m_prev; }

    // Moves every node of src, in order, to the FRONT of this list. src is
    // left pointing at the moved nodes: callers init() it right after.
    void splice(const ListHead* src)
    {
        if (src->empty())
            return;
        ListNode* first = src->m_next;
        ListNode* last = src->m_prev;
        ListNode* at = m_next;
        first->m_prev = this;
        m_next = first;
        last->m_next = at;
        at->m_prev = last;
    }

    void swap(ListHead* other)
    {
        ListHead temp;
        temp.splice(this);
        init();
        splice(other);
        other->init();
        other->splice(&temp);
        temp.init();
    }
};
