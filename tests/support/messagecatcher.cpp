#include "messagecatcher.h"

#include <QMutex>
#include <QMutexLocker>

#include <algorithm>

namespace {

QMutex g_mutex;
QList<MessageCatcher::struMessage> g_messages;
QtMessageHandler g_previous = nullptr;
bool g_passOn = true;

void catchMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        QMutexLocker lock(&g_mutex);
        g_messages << MessageCatcher::struMessage{type, QString::fromLatin1(context.category), text};
    }
    if (g_passOn && g_previous)
        g_previous(type, context, text);
}

} // namespace

MessageCatcher::MessageCatcher(bool passOn)
{
    QMutexLocker lock(&g_mutex);
    g_messages.clear();
    g_passOn = passOn;
    g_previous = qInstallMessageHandler(catchMessage);
}

MessageCatcher::~MessageCatcher()
{
    qInstallMessageHandler(g_previous);
    QMutexLocker lock(&g_mutex);
    g_messages.clear();
}

QList<MessageCatcher::struMessage> MessageCatcher::messages() const
{
    QMutexLocker lock(&g_mutex);
    return g_messages;
}

QStringList MessageCatcher::texts(const QString& fragment, std::optional<QtMsgType> type) const
{
    QStringList out;
    for (const struMessage& m : messages()) {
        if ((!type || m.type == *type) && m.text.contains(fragment))
            out << m.text;
    }
    return out;
}

bool MessageCatcher::contains(const QString& part) const
{
    return !part.isEmpty() && !texts(part).isEmpty();
}

void MessageCatcher::clear()
{
    QMutexLocker lock(&g_mutex);
    g_messages.clear();
}

QStringList MessageCatcher::warnings(const QStringList& categoryPrefixes) const
{
    QStringList out;
    for (const struMessage& m : messages()) {
        if (m.type == QtDebugMsg || m.type == QtInfoMsg)
            continue;
        if (std::any_of(categoryPrefixes.cbegin(), categoryPrefixes.cend(),
                        [&m](const QString& prefix) { return m.category.startsWith(prefix); }))
            out << m.category + QStringLiteral(": ") + m.text;
    }
    return out;
}
