#include "common/wide_buffer.h"

unsigned wide_length(const wchar_t *text)
{
    unsigned length = 0;
    if (text != nullptr) {
        while (text[length] != L'\0')
            ++length;
    }
    return length;
}

static void copy_units(wchar_t *destination, const wchar_t *source, unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        destination[i] = source[i];
}

bool buffer_copy(WideBuffer &destination, const wchar_t *source)
{
    unsigned length = wide_length(source);
    if (length > longest_content)
        return false;
    copy_units(destination.text, source, length + 1);
    return true;
}

bool buffer_append(WideBuffer &destination, const wchar_t *source)
{
    unsigned have = wide_length(destination.text);
    unsigned add = wide_length(source);
    if (have + add > longest_content)
        return false;
    copy_units(destination.text + have, source, add + 1);
    return true;
}

bool wide_equal(const wchar_t *left, const wchar_t *right)
{
    unsigned i = 0;
    for (; left[i] != L'\0'; ++i) {
        if (left[i] != right[i])
            return false;
    }
    return right[i] == L'\0';
}

bool wide_contains(const wchar_t *haystack, const wchar_t *needle)
{
    unsigned needle_length = wide_length(needle);
    for (unsigned start = 0; haystack[start] != L'\0'; ++start) {
        unsigned i = 0;
        while (i < needle_length && haystack[start + i] == needle[i])
            ++i;
        if (i == needle_length)
            return true;
    }
    return needle_length == 0;
}
