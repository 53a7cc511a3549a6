// What the server's records share: descriptors of the member kinds that have no
// constructor of their own, and the allocation-failure convention of their copies.
#pragma once

#include <cstdint>
#include <string>

#include "RoVodEre/NoCrtString.h"
#include "settings/framework/member_info.h"

class CryptBlock;

// A byte with inclusive bounds.
MemberInfo ByteMember(const std::wstring& name, unsigned char* value, unsigned char defaultValue,
                      unsigned char minimum, unsigned char maximum);
// An encrypted text; its default is the encryption of the empty text.
MemberInfo EncryptedMember(const std::wstring& name, CryptBlock* value, std::uint32_t plainCodePage);

// Copies of records follow one convention: a target whose af_ is set takes nothing; one
// whose source is marked takes the mark and nothing else; a field whose copy fails to
// allocate marks the target and ends the copy. Each step returns whether to go on.
inline bool BeginCopy(AllocFailState& target, const AllocFailState& source)
{
    if (target.af_)
        return false;
    target.af_ = source.af_;
    return target.af_ == 0;
}

// Copies an object that records its own allocation failures in af_ (strings, crypt
// blocks, lists).
template <class Field>
bool CopyField(AllocFailState& target, Field& to, const Field& from)
{
    to = from;
    if (to.af_)
        target.af_ = to.af_;
    return target.af_ == 0;
}

// CopyField for a list whose entries are taken from the source instead of cloned
// (TakeEntries): the source is left with the target's old entries.
template <class List>
bool TakeField(AllocFailState& target, List& to, List& from)
{
    to.TakeEntries(from);
    if (to.af_)
        target.af_ = to.af_;
    return target.af_ == 0;
}

// Whether two strings hold the same bytes; a marked string equals nothing.
bool SameBytes(const NoCrtString& a, const NoCrtString& b);
