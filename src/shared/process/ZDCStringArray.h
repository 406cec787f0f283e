#pragma once
// A NUL-terminated array of C strings (argv, envp for exec) whose strings stay
// valid for as long as the object does.
#include <QByteArray>
#include <QString>

#include <vector>

class ZDCStringArray
{
public:
    void append(QByteArray text) { m_storage.push_back(std::move(text)); }
    void append(const QString &text) { append(text.toLocal8Bit()); }
    char **pointers()
    {
        m_pointers.clear();
        for (QByteArray &s : m_storage)
            m_pointers.push_back(s.data());
        m_pointers.push_back(nullptr);
        return m_pointers.data();
    }

private:
    std::vector<QByteArray> m_storage;
    std::vector<char *> m_pointers;
};
