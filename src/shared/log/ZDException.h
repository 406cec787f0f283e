#pragma once
// Exceptions that carry a name and a reason, and the one-line report of a caught one.
#include <QString>

#include <exception>
#include <string>

class ZDNamedException : public std::exception
{
public:
    ZDNamedException(QString name, QString reason);
    const QString &name() const noexcept { return m_name; }
    const QString &reason() const noexcept { return m_reason; }
    const char *what() const noexcept override { return m_what.c_str(); }

private:
    QString m_name;
    QString m_reason;
    std::string m_what;
};

class ZDException
{
public:
    ZDException() = delete;

    // The name under which a remote call runs out of time.
    static constexpr const char *kTimeoutName = "NSPortTimeoutException";

    // Logs "Exception in %s. %@ - %@." (method, name, reason) and returns the text.
    static QString logException(const std::exception &e, const char *method);
    // For a catch (...) with nothing to inspect.
    static QString logUnknownException(const char *method);
    // True exactly when the exception is a remote call that ran out of time.
    static bool didTimeout(const std::exception &e);

    static QString nameOf(const std::exception &e);
    static QString reasonOf(const std::exception &e);
};
