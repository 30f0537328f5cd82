#include "QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstring>

namespace {

// The file dialog's types of what is not a file come from a context that
// Qt's catalogue does not have yet.
class FileTypeTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;
    QString translate(const char* context, const char* sourceText, const char*, int) const override {
        if (std::strcmp(context, "QAbstractFileIconProvider") != 0) return {};
        static const struct {
            const char* source;
            const char* text;
        } kTexts[] = {{"Folder", "文件夹"}, {"File Folder", "文件夹"}, {"Drive", "驱动器"},
                      {"Shortcut", "快捷方式"}, {"Alias", "替身"},        {"Unknown", "未知"}};
        for (const auto& entry : kTexts)
            if (std::strcmp(sourceText, entry.source) == 0) return QString::fromUtf8(entry.text);
        return {};
    }
    bool isEmpty() const override { return false; }
};

}  // namespace

void UseChineseDates() {
    // Qt reads the system's locale from the environment once, its time
    // category beaten by LC_ALL; what LC_ALL said stays for the rest.
    const QByteArray all = qgetenv("LC_ALL");
    if (!all.isEmpty()) {
        qunsetenv("LC_ALL");
        if (qgetenv("LANG").isEmpty()) qputenv("LANG", all);
    }
    qputenv("LC_TIME", "zh_CN.UTF-8");
}

bool InstallQtTranslations(QCoreApplication* application) {
    // Sizes and numbers as the texts around them: Chinese.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    QCoreApplication::installTranslator(new FileTypeTranslator(application));
    auto* translator = new QTranslator(application);
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}
