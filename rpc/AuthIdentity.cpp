#include "rpc/AuthIdentity.h"

#include "remote/AdminShareConnection.h"

namespace util
{
namespace
{
unsigned short* Chars(std::wstring& text)
{
    return reinterpret_cast<unsigned short*>(&text[0]);
}
}

CAuthIdentity::CAuthIdentity(std::wstring domain, std::wstring user, std::wstring password)
    : m_domain(std::move(domain)), m_user(std::move(user)), m_password(std::move(password))
{
    m_identity.User = Chars(m_user);
    m_identity.UserLength = static_cast<unsigned long>(m_user.size());
    m_identity.Domain = Chars(m_domain);
    m_identity.DomainLength = static_cast<unsigned long>(m_domain.size());
    m_identity.Password = Chars(m_password);
    m_identity.PasswordLength = static_cast<unsigned long>(m_password.size());
    m_identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
}

std::shared_ptr<CAuthIdentity> CAuthIdentity::FromShare(const CAdminShareConnection& share)
{
    std::wstring domain, user, password;
    share.GetCredentials(domain, user, password);
    if (user.empty())
        return nullptr;
    return std::make_shared<CAuthIdentity>(std::move(domain), std::move(user), std::move(password));
}
}
