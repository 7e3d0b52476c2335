// The debugging wizard without its window: a technician's own scan of the line
// and raw frames composed as hex text, completed with check bytes and sent as
// they stand, every answer shown as hex text.
//
// The wizard keeps to itself. Its scan has its own found list, counter and
// result word: the node table, the main window's node list and the main scan's
// count stay as they are, also while a main scan or polling runs. Every frame
// goes through the transaction layer, so a wizard exchange waits its turn
// behind the exchange on the line (a poll's, a scan's) and is never mixed with
// it; the transaction layer hands each caller its own answer.
//
// Numbers and frame texts are checked before anything is composed or sent: a
// number outside its field's range, a frame text that is not hex, too short
// for a fixed-length frame or of an odd length when check bytes are to be
// appended is refused with the conversion error (WizardInputError), and
// nothing goes on the line.
//
// The window observes one Wizard and forwards its commands. Closing the window
// releases the object: a scan stops after the address being probed, the answers
// still to come are dropped, and the object deletes itself once its last
// exchange has ended, so nothing of it ever reaches a window that is gone.
#pragma once

#include "base/unit_crc.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <optional>
#include <string>

namespace qlx {

class Transaction;

// A number or a frame text the wizard refuses: the conversion error, in the operator's words.
class WizardInputError : public ConvertError {
public:
    WizardInputError(const QString &offending, const QString &why);
    const char *what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

// The fixed diagnostics of the page "Функции 08Н".
enum class WizardDiag {
    ReturnQuery,  // "Возврат данных запроса": sub-function 0000, data 182B
    DiagRegister, // "Регистр диагностики": sub-function 0002
    Restart,      // "Перезапустить настройки": sub-function 0001
    ListenOnly,   // "Режим только прослуш.": sub-function 0004
};

// The pages of the wizard, each with its frame and answer fields.
enum class WizardPage { F03, F08, F01, F10 };

// Captions of the number fields, as the window labels them; a refused number names its field.
namespace wizard_caption {
inline const QString Nomer03 = QStringLiteral("адрес узла");
inline const QString Adr03 = QStringLiteral("начась с");
inline const QString Kol03 = QStringLiteral("кол.регистров");
inline const QString Nomer = QStringLiteral("Адрес узла"); // pages 08Н, 01Н, 10Н
inline const QString Adr = QStringLiteral("Н.адрес");
inline const QString Kol = QStringLiteral("кол.обм.");
inline const QString Count10 = QStringLiteral("счетчик байт");
inline const QString Reg1 = QStringLiteral("Стар. байт");
inline const QString Reg2 = QStringLiteral("Млад. байт");
} // namespace wizard_caption

// Texts of the scan.
inline const QString kTimeOutExpired = QStringLiteral("Time Out Expired");

// A decimal number typed into the field `caption`, 0..max; raises WizardInputError.
int wizard_number(const QString &text, int max, const QString &caption);

// "Сформировать" of page 03Н (function 0x03) or 01Н (function 0x01): address, function,
// first register and count, then the check bytes. Nothing when the start or the count
// is empty.
std::optional<QString> compose_read_text(WizardPage page, const QString &nomer, const QString &adr, const QString &kol);
// "Сформировать" of page 10Н: address, 10, first register, register count, byte count
// and two register values, without check bytes. Nothing when the start or the count is empty.
std::optional<QString> compose_write_text(const QString &nomer, const QString &adr, const QString &kol,
                                          const QString &byteCount, const QString &reg1, const QString &reg2);
// A fixed diagnostic of page 08Н for the address, with its check bytes; nothing when
// the address is empty.
std::optional<QString> compose_diag_text(WizardDiag which, const QString &nomer);
// "Подставить CRC" / "CRC": the frame text followed by the check bytes of its bytes
// (low byte first); nothing when the text is empty. An odd number of digits is refused.
std::optional<QString> with_crc_text(const QString &frameText);
// The byte count that follows "кол.обм." of page 10Н (twice the register count); nothing
// while the field holds no number of its range (the operator is still typing).
std::optional<QString> byte_count_text(const QString &kol);

// The frame "Отправить" sends from a page's frame text: the first eight bytes on pages
// 03Н and 01Н, every complete pair on 08Н and 10Н (a trailing odd digit is left out).
// Nothing when the text is empty; a text that is not hex, too short for eight bytes
// or without a single byte is refused.
std::optional<QByteArray> wizard_request(WizardPage page, const QString &frameText);
// How many answer bytes the wizard takes for a request: the whole answer its function
// implies (a read of many registers included), at least the usual 10; an answer whose
// length cannot be told from the request is taken up to the longest frame of the line.
int wizard_answer_cap(const QByteArray &request);
// An answer as shown: "Time Out" when nothing came back, otherwise its hex text.
QString wizard_answer_text(const QByteArray &answer);

// List lines of the scan: "Кворлекс - k - a", "a - Time Out Expired".
QString wizard_found_line(int entry, int address);
QString wizard_silent_line(int address);

class Wizard : public QObject {
    Q_OBJECT
public:
    explicit Wizard(Transaction &line, QObject *parent = nullptr);
    ~Wizard() override;

    // The result word of the wizard's last identify decoding; composing empties it.
    QString resultWord() const { return m_word; }

    // Composing: the checks and texts of the free functions above; "Сформировать" (a read
    // or the write) empties the result word.
    std::optional<QString> composeRead(WizardPage page, const QString &nomer, const QString &adr, const QString &kol);
    std::optional<QString> composeWrite(const QString &nomer, const QString &adr, const QString &kol,
                                        const QString &byteCount, const QString &reg1, const QString &reg2);
    std::optional<QString> composeDiag(WizardDiag which, const QString &nomer);

    // "Сеть...": starts the scan of addresses 1..255 and runs on by itself; false (and
    // nothing happens) while a scan runs or once the object was released.
    bool startScan();
    // The scan itself. Each address gets one identify request; any answer at all puts it
    // into the found list, silence into the silent list. A port error ends the scan with
    // its text as the scan's message, the lists kept.
    QCoro::Task<void> scan();
    bool scanning() const { return m_scanning; }
    // The last probed address (0 before the first).
    int position() const { return m_position; }
    // What the label above the lists shows: "Time Out Expired" after a silent address,
    // the port's error text after a scan the port ended.
    QString scanMessage() const { return m_message; }
    // Found addresses in the order found; entry k of the list is found()[k - 1].
    const QList<int> &found() const { return m_found; }
    int foundCount() const { return static_cast<int>(m_found.size()); }
    const QStringList &foundLines() const { return m_foundLines; }
    const QStringList &silentLines() const { return m_silentLines; }
    // The address of the found-list row (0-based) as text; nothing for a row that is
    // not there (nothing selected).
    std::optional<QString> foundAddressText(int row) const;

    // "Отправить": checks the page's frame text and sends it; the answer comes with
    // `answered`, a port error with `sendFailed`. False when the text is empty or the
    // object was released; a refused text raises WizardInputError and sends nothing.
    bool send(WizardPage page, const QString &frameText);
    // One exchange of a raw frame: the answer as shown ("Time Out" or hex). Raises PortError.
    QCoro::Task<QString> exchange(QByteArray request);
    // Sends started and not answered yet.
    int sendsPending() const { return m_sends; }

    // The window is closing: the scan stops after the address in progress, answers still
    // to come are dropped, and the object goes once its last exchange has ended.
    void release();
    bool released() const { return m_released; }

signals:
    void scanStarted();
    void positionChanged(int address);
    void nodeFound(const QString &line);
    void addressSilent(const QString &line);
    void scanMessageChanged(const QString &text);
    void scanFinished();
    void answered(qlx::WizardPage page, const QString &text);
    void sendFailed(qlx::WizardPage page, const QString &why);

private:
    QCoro::Task<void> test_sensor(int address);
    QCoro::Task<void> sendTask(WizardPage page, QByteArray request);
    void setMessage(const QString &text);
    void goWhenIdle();

    Transaction &m_line;
    QString m_word;
    QList<int> m_found;
    QStringList m_foundLines;
    QStringList m_silentLines;
    QString m_message;
    int m_position = 0;
    int m_sends = 0;
    bool m_scanning = false;
    bool m_stopScan = false;
    bool m_released = false;
};

} // namespace qlx
