#include "qtchinese.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>

namespace {

const QString kCatalog = QStringLiteral("qtbase_zh_CN");

} // namespace

QString installQtChineseTranslations(QCoreApplication& app)
{
    const QStringList folders{QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
                              QLibraryInfo::location(QLibraryInfo::TranslationsPath)};
    for (const QString& folder : folders) {
        auto* pTranslator = new QTranslator(&app);
        if (pTranslator->load(kCatalog, folder) && app.installTranslator(pTranslator)) {
            const QString file = QDir(folder).filePath(kCatalog + QStringLiteral(".qm"));
            qInfo().noquote() << "Qt's Chinese texts from" << file;
            return file;
        }
        delete pTranslator;
    }
    qWarning().noquote() << kCatalog + QStringLiteral(".qm") << "not found in"
                         << folders.join(QStringLiteral(", ")) << "- Qt's dialogs keep their English texts";
    return QString();
}
