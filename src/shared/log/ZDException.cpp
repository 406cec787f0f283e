#include "log/ZDException.h"

#include "log/ZDLog.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>
#include <utility>

ZDNamedException::ZDNamedException(QString name, QString reason)
    : m_name(std::move(name))
    , m_reason(std::move(reason))
    , m_what(m_reason.toStdString())
{
}

QString ZDException::logException(const std::exception &e, const char *method)
{
    const QString text = zdFormat(QStringLiteral("Exception in %s. %@ - %@."), method ? method : "", nameOf(e), reasonOf(e));
    ZDLog::appendLogAndPrint(text);
    return text;
}

QString ZDException::logUnknownException(const char *method)
{
    const QString text = zdFormat(QStringLiteral("Exception in %s. %@ - %@."), method ? method : "",
                                  QStringLiteral("UnknownException"), QStringLiteral("no reason available"));
    ZDLog::appendLogAndPrint(text);
    return text;
}

bool ZDException::didTimeout(const std::exception &e)
{
    return nameOf(e) == QLatin1String(kTimeoutName);
}

QString ZDException::nameOf(const std::exception &e)
{
    if (const auto *named = dynamic_cast<const ZDNamedException *>(&e))
        return named->name();
    const char *mangled = typeid(e).name();
    int status = -1;
    const std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                                &std::free);
    return QString::fromUtf8(status == 0 && demangled ? demangled.get() : mangled);
}

QString ZDException::reasonOf(const std::exception &e)
{
    if (const auto *named = dynamic_cast<const ZDNamedException *>(&e))
        return named->reason();
    const char *what = e.what();
    return what ? QString::fromUtf8(what) : QString();
}
