#include "source/korv_user/KorvUserTopic.h"

#include "velta/source/base/ErrorCode.h"

namespace KORV {
namespace USER {

int PriceEntryTable::append(const PriceEntry& entry)
{
    if (m_count >= MAX_LEVEL)
        return EC_OUT_OF_BOUNDS;
    m_entries[m_count++] = entry;
    return EC_NONE;
}

int PriceEntryTable::insert(int pos, const PriceEntry& entry)
{
    if (pos < 0 || pos > m_count || m_count >= MAX_LEVEL)
        return EC_OUT_OF_BOUNDS;
    for (int i = m_count; i > pos; --i)
        m_entries[i] = m_entries[i - 1];
    m_entries[pos] = entry;
    ++m_count;
    return EC_NONE;
}

int PriceEntryTable::update(int pos, const PriceEntry& entry)
{
    if (pos < 0 || pos >= m_count)
        return EC_OUT_OF_BOUNDS;
    m_entries[pos] = entry;
    return EC_NONE;
}

int PriceEntryTable::erase(int pos)
{
    if (pos < 0 || pos >= m_count)
        return EC_OUT_OF_BOUNDS;
    --m_count;
    for (int i = pos; i < m_count; ++i)
        m_entries[i] = m_entries[i + 1];
    return EC_NONE;
}

void PriceEntryTable::truncate(int n)
{
    if (n < 0)
        n = 0;
    if (m_count > n)
        m_count = n;
}

}  // namespace USER
}  // namespace KORV
