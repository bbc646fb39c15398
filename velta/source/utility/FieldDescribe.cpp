#include "velta/source/utility/FieldDescribe.h"

#include <cstdint>
#include <cstring>

#include "velta/source/base/Fatal.h"
#include "velta/source/utility/NullValue.h"

namespace {

void copy_name(char* out, const char* name, int length)
{
    size_t n = strnlen(name, length);
    memcpy(out, name, n);
    out[n] = '\0';
}

void reverse_copy(void* dst, const void* src, int n)
{
    const char* from = static_cast<const char*>(src);
    char* to = static_cast<char*>(dst);
    for (int i = 0; i < n; ++i)
        to[i] = from[n - 1 - i];
}

// Size a member of the type must have; 0 when any size goes.
int type_size(MemberType type)
{
    switch (type) {
        case MT_CHAR:
            return 1;
        case MT_SHORT:
            return 2;
        case MT_INT:
        case MT_FLOAT:
            return 4;
        case MT_DOUBLE:
        case MT_LONG:
            return 8;
        default:
            return 0;
    }
}

template <class T>
T load(const char* p)
{
    T value;
    memcpy(&value, p, sizeof(T));
    return value;
}

}  // namespace

void change_endian_copy_2(void* dst, const void* src)
{
    reverse_copy(dst, src, 2);
}

void change_endian_copy_4(void* dst, const void* src)
{
    reverse_copy(dst, src, 4);
}

void change_endian_copy_8(void* dst, const void* src)
{
    reverse_copy(dst, src, 8);
}

FieldDescribe::FieldDescribe(unsigned short id, int size, const char* first_name,
                             const char* second_name, void (*describe)())
    : m_id(id), m_size(size)
{
    copy_name(m_second_name, second_name, SECOND_NAME_LENGTH);
    copy_name(m_first_name, first_name, FIRST_NAME_LENGTH);
    describe();
}

FieldDescribe& FieldDescribe::setup_member(MemberType type, int object_offset, const char* name,
                                           int size, int extra1, int extra2)
{
    VELTA_ASSERT(object_offset >= 0 && size > 0 && object_offset + size <= m_size);
    VELTA_ASSERT(type_size(type) == 0 || type_size(type) == size);
    MemberDesc member;
    member.m_type = type;
    member.m_object_offset = object_offset;
    member.m_stream_offset = m_stream_size;
    member.m_size = size;
    member.m_extra1 = extra1;
    member.m_extra2 = extra2;
    copy_name(member.m_name, name, MemberDesc::NAME_LENGTH);
    m_members.push_back(member);
    m_stream_size += size;
    ++m_member_count;
    return *this;
}

const MemberDesc& FieldDescribe::member_desc(int i) const
{
    VELTA_ASSERT(i >= 0 && i < m_member_count);
    return m_members[i];
}

void FieldDescribe::copy_member(const MemberDesc& member, char* to, const char* from)
{
    switch (member.m_type) {
        case MT_SHORT:
            change_endian_copy_2(to, from);
            break;
        case MT_INT:
        case MT_FLOAT:
            change_endian_copy_4(to, from);
            break;
        case MT_DOUBLE:
        case MT_LONG:
            change_endian_copy_8(to, from);
            break;
        default:
            memcpy(to, from, member.m_size);
            break;
    }
}

int FieldDescribe::object_to_stream(const void* object, char* stream) const
{
    const char* base = static_cast<const char*>(object);
    for (const MemberDesc& member : m_members)
        copy_member(member, stream + member.m_stream_offset, base + member.m_object_offset);
    return m_member_count;
}

int FieldDescribe::stream_to_object(void* object, const char* stream) const
{
    char* base = static_cast<char*>(object);
    for (const MemberDesc& member : m_members)
        copy_member(member, base + member.m_object_offset, stream + member.m_stream_offset);
    return m_member_count;
}

void FieldDescribe::csv_put_line(FILE* file, const void* object) const
{
    const char* base = static_cast<const char*>(object);
    bool first = true;
    for (const MemberDesc& member : m_members) {
        if (!first)
            fputc(',', file);
        first = false;
        const char* p = base + member.m_object_offset;
        switch (member.m_type) {
            case MT_CHAR:
                fputc(*p, file);
                break;
            case MT_SHORT:
                fprintf(file, "%d", load<uint16_t>(p));
                break;
            case MT_INT:
                fprintf(file, "%d", load<int32_t>(p));
                break;
            case MT_FLOAT:
                fprintf(file, "%.9g", load<float>(p));
                break;
            case MT_DOUBLE:
                if (load<double>(p) != NULL_DOUBLE_VALUE)
                    fprintf(file, "%.12g", load<double>(p));
                break;
            case MT_LONG:
                if (load<long long>(p) != NULL_LONG_VALUE)
                    fprintf(file, "%lld", load<long long>(p));
                break;
            case MT_STRING:
                fprintf(file, "%.*s", static_cast<int>(strnlen(p, member.m_size)), p);
                break;
            default:
                break;
        }
    }
    fputc('\n', file);
}
