#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// Every Qt message of every thread while an object of this lives; each still goes on to the handler
// that was installed before unless told otherwise (a test whose messages would flood its output).
// One at a time.
class MessageCatcher
{
public:
    struct struMessage
    {
        QtMsgType type = QtDebugMsg;
        QString category;
        QString text;
    };

    explicit MessageCatcher(bool passOn = true);
    ~MessageCatcher();
    MessageCatcher(const MessageCatcher&) = delete;
    MessageCatcher& operator=(const MessageCatcher&) = delete;

    QList<struMessage> messages() const;
    // The texts that contain the fragment, of messages of this type (none given: of any type).
    QStringList texts(const QString& fragment = QString(),
                      std::optional<QtMsgType> type = std::nullopt) const;
    // Whether a text contains part (never for an empty part).
    bool contains(const QString& part) const;
    void clear();
    // "category: text" of each warning, critical or fatal message whose category starts with one of
    // the prefixes ("default" is the category of uncategorised messages).
    QStringList warnings(const QStringList& categoryPrefixes) const;
};
