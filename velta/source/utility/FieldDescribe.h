// Internal: the description of a plain structure's members (type, offset,
// size, name), by which records are filled from CSV fields, written as CSV
// lines and converted to and from their packed big-endian stream form.
//
// A structure type typically keeps one static FieldDescribe whose describe
// function adds the members with setup_member on that same object.
#pragma once

#include <cstdio>
#include <vector>

typedef int MemberType;
constexpr MemberType MT_CHAR = 0;
constexpr MemberType MT_SHORT = 1;  // 16-bit integer
constexpr MemberType MT_INT = 2;    // 32-bit integer
constexpr MemberType MT_FLOAT = 3;
constexpr MemberType MT_DOUBLE = 4;
constexpr MemberType MT_LONG = 5;    // 64-bit integer
constexpr MemberType MT_STRING = 7;  // fixed-width text

struct MemberDesc {
    static constexpr int NAME_LENGTH = 35;

    MemberType m_type;
    int m_object_offset;
    int m_stream_offset;
    int m_size;
    int m_extra1;
    int m_extra2;
    char m_name[NAME_LENGTH + 1];
};

class FieldDescribe {
public:
    static constexpr int SECOND_NAME_LENGTH = 101;
    static constexpr int FIRST_NAME_LENGTH = 91;

    // Names longer than their widths are cut.
    FieldDescribe(unsigned short id, int size, const char* first_name, const char* second_name,
                  void (*describe)());
    FieldDescribe(const FieldDescribe&) = delete;
    FieldDescribe& operator=(const FieldDescribe&) = delete;

    // Appends a member at the end of the stream form. The member must lie
    // inside the structure, and numeric members must have their type's size.
    FieldDescribe& setup_member(MemberType type, int object_offset, const char* name, int size,
                                int extra1, int extra2);

    unsigned short id() const { return m_id; }
    int size() const { return m_size; }
    int stream_size() const { return m_stream_size; }
    const char* first_name() const { return m_first_name; }
    const char* second_name() const { return m_second_name; }
    int member_count() const { return m_member_count; }
    const MemberDesc& member_desc(int i) const;

    // Copy every member between the structure and the stream (stream_size()
    // bytes), numbers with their bytes reversed. Both return the member count.
    int object_to_stream(const void* object, char* stream) const;
    int stream_to_object(void* object, const char* stream) const;

    // One comma-separated line of the members. Absent doubles and 64-bit
    // integers give empty columns.
    void csv_put_line(FILE* file, const void* object) const;

private:
    // Copies between the two forms, reversing the bytes of numbers.
    static void copy_member(const MemberDesc& member, char* to, const char* from);

    unsigned short m_id;
    char m_second_name[SECOND_NAME_LENGTH + 1];
    int m_size;
    int m_stream_size = 0;
    int m_member_count = 0;
    char m_first_name[FIRST_NAME_LENGTH + 1];
    std::vector<MemberDesc> m_members;
};

// Copy 2, 4 or 8 bytes from src to dst in reverse order.
void change_endian_copy_2(void* dst, const void* src);
void change_endian_copy_4(void* dst, const void* src);
void change_endian_copy_8(void* dst, const void* src);
