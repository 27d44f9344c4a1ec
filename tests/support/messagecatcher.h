#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Every Qt message of every thread while an object of this lives; each still goes on to the handler
// that was installed before. One at a time.
class MessageCatcher
{
public:
    struct struMessage
    {
        QtMsgType type = QtDebugMsg;
        QString category;
        QString text;
    };

    MessageCatcher();
    ~MessageCatcher();
    MessageCatcher(const MessageCatcher&) = delete;
    MessageCatcher& operator=(const MessageCatcher&) = delete;

    QList<struMessage> messages() const;
    // "category: text" of each warning, critical or fatal message whose category starts with one of
    // the prefixes ("default" is the category of uncategorised messages).
    QStringList warnings(const QStringList& categoryPrefixes) const;
};
