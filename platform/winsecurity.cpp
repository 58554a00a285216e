#include "winsecurity.h"

#include <QScopeGuard>

#include <aclapi.h>
#include <sddl.h>

namespace {
QByteArray sidBytes(PSID sid)
{
    return QByteArray(static_cast<const char *>(sid), int(::GetLengthSid(sid)));
}

QByteArray wellKnownSid(WELL_KNOWN_SID_TYPE type)
{
    QByteArray sid(SECURITY_MAX_SID_SIZE, Qt::Uninitialized);
    DWORD size = DWORD(sid.size());
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size))
        return QByteArray();
    sid.resize(int(size));
    return sid;
}

// the user this process runs as
QByteArray processUserSid()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return QByteArray();
    const auto close = qScopeGuard([token] { ::CloseHandle(token); });
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray buffer(int(size), Qt::Uninitialized);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return QByteArray();
    return sidBytes(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid);
}
} // namespace

TrustedSids::TrustedSids()
    : user(processUserSid())
{
    owners << user << wellKnownSid(WinBuiltinAdministratorsSid) << wellKnownSid(WinLocalSystemSid);
    // the servicing account, which holds full control of Program Files and what is below it
    const wchar_t *installerText
        = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    PSID installer = nullptr;
    if (::ConvertStringSidToSidW(installerText, &installer)) {
        owners << sidBytes(installer);
        ::LocalFree(installer);
    }
    owners.removeAll(QByteArray());
    writers = owners;
    writers << wellKnownSid(WinCreatorOwnerRightsSid) << wellKnownSid(WinCreatorOwnerSid);
    writers.removeAll(QByteArray());
}

bool TrustedSids::contains(const QList<QByteArray> &list, PSID sid)
{
    for (const QByteArray &known : list) {
        if (::EqualSid(sid, const_cast<char *>(known.constData())))
            return true;
    }
    return false;
}

const TrustedSids &trustedSids()
{
    static const TrustedSids sids;
    return sids;
}

// who owns the object and whether anyone else is granted one of the rights
Ownership securityOwnership(const std::wstring &native, ACCESS_MASK rights)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(native.c_str(), SE_FILE_OBJECT,
            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl, nullptr,
            &descriptor)
        != ERROR_SUCCESS)
        return Ownership::Unknown;
    const auto release = qScopeGuard([descriptor] { ::LocalFree(descriptor); });
    const TrustedSids &trusted = trustedSids();
    if (!owner || !TrustedSids::contains(trusted.owners, owner))
        return Ownership::OtherOwner;
    if (!dacl)
        return Ownership::OthersMayWrite; // no access list: everyone may do everything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        if (!::GetAce(dacl, i, &ace))
            return Ownership::Unknown;
        const auto *header = static_cast<const ACE_HEADER *>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE) // only for what is created below it
            continue;
        switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue; // takes rights away
        default:
            break;
        }
        // every kind of entry holds its mask first; only the plain ones are read further
        const auto *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(ace);
        if (!(allowed->Mask & rights))
            continue;
        const bool plain = header->AceType == ACCESS_ALLOWED_ACE_TYPE
            || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (!plain
            || !TrustedSids::contains(trusted.writers, const_cast<DWORD *>(&allowed->SidStart)))
            return Ownership::OthersMayWrite;
    }
    return Ownership::Private;
}
