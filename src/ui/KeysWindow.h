#pragma once

#include "speech/SpeechProbe.h"

#include <QPointer>
#include <QSize>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>
#include <variant>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace quippet {

class Keychain;

// The user's own provider keys: shows whether each is stored (never the key itself), writes changed ones to the
// keychain, removes one whose field was emptied (after asking), and proves each stored key: the LLM key by listing
// the models it can see, the speech key by one short connection to the speech service. Main thread only.
class KeysWindow : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QStringList models READ models NOTIFY modelsChanged)
    Q_PROPERTY(bool checking READ checking NOTIFY checkingChanged)
public:
    // The model names the stored key can see, or why they could not be listed.
    using VerifyResult = std::variant<QStringList, QString>;
    // Starts a check of the stored LLM key; the answer must arrive on the main thread (it may arrive at once).
    using VerifyFn = std::function<void(std::function<void(VerifyResult)>)>;
    // Starts a check of the stored speech key; the same rules.
    using SpeechVerifyFn = std::function<void(std::function<void(SpeechVerdict)>)>;

    // What the window needs besides the keychain. Unset members do nothing (a removal is then not confirmed).
    struct Services {
        VerifyFn verifyGemini;
        SpeechVerifyFn verifySpeech;
        // The models answers use, best first: the check names those the key cannot see.
        QStringList modelChain;
        std::function<void(const QUrl&)> openUrl;
        // Asked before stored keys are removed; the names of the keys.
        std::function<bool(QWidget* parent, const QStringList& names)> confirmRemoval;
    };

    static constexpr int kWidth = 480;
    // Stands for a stored key in its field.
    static QString mask();
    // Where each provider hands out keys.
    static QUrl elevenLabsKeysPage();
    static QUrl geminiKeysPage();

    KeysWindow(Keychain& keychain, Services services, QWidget* parent = nullptr);
    ~KeysWindow() override;

    QString elevenLabs() const;
    QString gemini() const;
    QString status() const { return m_status; }
    QString speechResult() const;
    QString geminiResult() const;
    QStringList models() const { return m_models; }
    bool checking() const { return m_checking; }

    void save();
    // Each check first saves its own field when it holds a new key: what is checked is always what is stored.
    void verify();
    void verifySpeech();
    // Shows the window in front, centred on the screen the first time; closing it only hides it.
    void present();

signals:
    void statusChanged();
    void modelsChanged();
    void checkingChanged();
    // A key was stored or removed.
    void keysChanged();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Field;
    enum class Outcome { Unchanged, Saved, Failed, Removed, Kept };
    Outcome store(Field& field, bool confirmRemoval);
    bool prepareCheck(Field& field, bool canCheck);
    void loadStoredState();
    void finishVerify(const VerifyResult& result);
    void setStatus(const QString& status);
    void setModels(const QStringList& models);
    void setChecking(bool checking);
    void setSpeechChecking(bool checking);
    void openPage(const QUrl& url);

    Keychain& m_keychain;
    Services m_services;
    QString m_status;
    QStringList m_models;
    bool m_checking = false;
    bool m_speechChecking = false;
    bool m_presented = false;
    quint64 m_speechAttempt = 0;

    std::unique_ptr<Field> m_speech;
    std::unique_ptr<Field> m_llm;
    QPushButton* m_saveButton;
    QLabel* m_statusLabel;
    QLabel* m_modelsTitle;
    QListWidget* m_modelList;
};

} // namespace quippet
