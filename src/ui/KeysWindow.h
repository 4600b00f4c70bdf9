#pragma once

#include <QPointer>
#include <QSize>
#include <QStringList>
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
// keychain and checks the stored LLM key by listing the models it can see. Main thread only.
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

    static constexpr QSize kSize{460, 340};
    static constexpr const char* kTitle = "Quippet — klucze";
    // Stands for a stored key in its field.
    static QString mask();

    KeysWindow(Keychain& keychain, VerifyFn verify, QWidget* parent = nullptr);

    QString elevenLabs() const;
    QString gemini() const;
    QString status() const { return m_status; }
    QStringList models() const { return m_models; }
    bool checking() const { return m_checking; }

    void save();
    void verify();
    // Shows the window in front, centred on the screen the first time; closing it only hides it.
    void present();

signals:
    void statusChanged();
    void modelsChanged();
    void checkingChanged();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void loadStoredState();
    void finishVerify(const VerifyResult& result);
    void setStatus(const QString& status);
    void setModels(const QStringList& models);
    void setChecking(bool checking);

    Keychain& m_keychain;
    VerifyFn m_verify;
    QString m_status;
    QStringList m_models;
    bool m_checking = false;
    bool m_presented = false;

    QLineEdit* m_elevenLabsField;
    QLineEdit* m_geminiField;
    QPushButton* m_saveButton;
    QPushButton* m_verifyButton;
    QLabel* m_statusLabel;
    QLabel* m_modelsTitle;
    QListWidget* m_modelList;
};

} // namespace quippet
