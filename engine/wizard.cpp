#include "engine/wizard.h"

#include "line/comport.h"
#include "line/transaction.h"
#include "line/unit_protocol.h"

#include <QLoggingCategory>

#include <algorithm>

namespace qlx {

namespace {

Q_LOGGING_CATEGORY(lcWizard, "quorlex.wizard", QtWarningMsg)

constexpr int kMaxAddress = 255;
constexpr int kMaxWord = 65535;
constexpr int kMaxByteCount = 255;

// Hex digits of n without leading zeros, left-padded with "0" to `width`.
QString hexPadded(int n, int width)
{
    return int_to_digits(n, kHexAlphabet).rightJustified(width, QLatin1Char('0'));
}

// The bytes of a frame text, pair by pair (a trailing odd digit is left out).
QByteArray frameBytes(const QString &frameText)
{
    try {
        return hex_to_bytes(frameText);
    } catch (const ConvertError &) {
        throw WizardInputError(frameText, QStringLiteral("в тексте кадра допустимы только цифры 0-9 и буквы A-F"));
    }
}

// The check bytes of the frame text's bytes as hex text, low byte first.
QString crcText(const QString &frameText)
{
    return bytes_to_hex(append_crc(frameBytes(frameText)).right(2));
}

struct ReadCaptions {
    QString function;
    QString nomer;
    QString adr;
    QString kol;
};

ReadCaptions readCaptions(WizardPage page)
{
    if (page == WizardPage::F03)
        return {QStringLiteral("03"), wizard_caption::Nomer03, wizard_caption::Adr03, wizard_caption::Kol03};
    if (page == WizardPage::F01)
        return {QStringLiteral("01"), wizard_caption::Nomer, wizard_caption::Adr, wizard_caption::Kol};
    throw std::logic_error("only the pages 03 and 01 compose a read");
}

} // namespace

WizardInputError::WizardInputError(const QString &offending, const QString &why)
    : ConvertError(offending),
      m_message(QStringLiteral("Ошибка преобразования: '%1' - %2").arg(offending, why).toStdString())
{
}

int wizard_number(const QString &text, int max, const QString &caption)
{
    bool ok = false;
    const qlonglong n = text.trimmed().toLongLong(&ok, 10);
    if (!ok || n < 0 || n > max)
        throw WizardInputError(text, QStringLiteral("в поле \"%1\" нужно целое число от 0 до %2").arg(caption).arg(max));
    return static_cast<int>(n);
}

std::optional<QString> compose_read_text(WizardPage page, const QString &nomer, const QString &adr, const QString &kol)
{
    const ReadCaptions captions = readCaptions(page);
    if (adr.isEmpty() || kol.isEmpty())
        return std::nullopt;
    const int address = wizard_number(nomer, kMaxAddress, captions.nomer);
    const int first = wizard_number(adr, kMaxWord, captions.adr);
    const int count = wizard_number(kol, kMaxWord, captions.kol);
    const QString text = byte_to_hex(address) + captions.function + hexPadded(first, 4) + hexPadded(count, 4);
    return text + crcText(text);
}

std::optional<QString> compose_write_text(const QString &nomer, const QString &adr, const QString &kol,
                                          const QString &byteCount, const QString &reg1, const QString &reg2)
{
    if (adr.isEmpty() || kol.isEmpty())
        return std::nullopt;
    const int address = wizard_number(nomer, kMaxAddress, wizard_caption::Nomer);
    const int first = wizard_number(adr, kMaxWord, wizard_caption::Adr);
    const int count = wizard_number(kol, kMaxWord, wizard_caption::Kol);
    const int bytes = wizard_number(byteCount, kMaxByteCount, wizard_caption::Count10);
    const int value1 = wizard_number(reg1, kMaxWord, wizard_caption::Reg1);
    const int value2 = wizard_number(reg2, kMaxWord, wizard_caption::Reg2);
    return byte_to_hex(address) + QStringLiteral("10") + hexPadded(first, 4) + hexPadded(count, 4)
           + hexPadded(bytes, 2) + hexPadded(value1, 4) + hexPadded(value2, 4);
}

std::optional<QString> compose_diag_text(WizardDiag which, const QString &nomer)
{
    if (nomer.isEmpty())
        return std::nullopt;
    QString fixed;
    switch (which) {
    case WizardDiag::ReturnQuery: fixed = QStringLiteral("080000182B"); break;
    case WizardDiag::DiagRegister: fixed = QStringLiteral("0800020000"); break;
    case WizardDiag::Restart: fixed = QStringLiteral("0800010000"); break;
    case WizardDiag::ListenOnly: fixed = QStringLiteral("0800040000"); break;
    }
    const QString text = hexPadded(wizard_number(nomer, kMaxAddress, wizard_caption::Nomer), 2) + fixed;
    return text + crcText(text);
}

std::optional<QString> with_crc_text(const QString &frameText)
{
    if (frameText.isEmpty())
        return std::nullopt;
    // Check bytes after half a byte would make the frame text unreadable.
    if (frameText.size() % 2 != 0)
        throw WizardInputError(frameText, QStringLiteral("нечетное число знаков в тексте кадра, CRC не добавлен"));
    return frameText + crcText(frameText);
}

std::optional<QString> byte_count_text(const QString &kol)
{
    bool ok = false;
    const qlonglong n = kol.trimmed().toLongLong(&ok, 10);
    if (kol.isEmpty() || !ok || n < 0 || n > kMaxWord)
        return std::nullopt;
    return QString::number(2 * n);
}

std::optional<QByteArray> wizard_request(WizardPage page, const QString &frameText)
{
    if (frameText.isEmpty())
        return std::nullopt;
    if (page == WizardPage::F03 || page == WizardPage::F01) {
        if (frameText.size() < 16)
            throw WizardInputError(frameText, QStringLiteral("для отправки нужны 8 байт (16 знаков)"));
        return frameBytes(frameText.left(16));
    }
    const QByteArray bytes = frameBytes(frameText);
    if (bytes.isEmpty())
        throw WizardInputError(frameText, QStringLiteral("в тексте кадра нет ни одного байта"));
    return bytes;
}

int wizard_answer_cap(const QByteArray &request)
{
    // An answer whose length the request does not tell is taken up to a whole frame.
    const int expected = Transaction::expected_answer_length(request, {});
    if (expected < 0)
        return kLongestFrame;
    return std::clamp(expected, kAnswerCap, kLongestFrame);
}

QString wizard_answer_text(const QByteArray &answer)
{
    return answer.isEmpty() ? word::TimeOut : bytes_to_hex(answer);
}

QString wizard_found_line(int entry, int address)
{
    return QStringLiteral("Кворлекс - %1 - %2").arg(entry).arg(address);
}

QString wizard_silent_line(int address)
{
    return QStringLiteral("%1 - ").arg(address) + kTimeOutExpired;
}

Wizard::Wizard(Transaction &line, QObject *parent)
    : QObject(parent),
      m_line(line)
{
}

Wizard::~Wizard() = default;

std::optional<QString> Wizard::composeRead(WizardPage page, const QString &nomer, const QString &adr, const QString &kol)
{
    m_word.clear();
    return compose_read_text(page, nomer, adr, kol);
}

std::optional<QString> Wizard::composeWrite(const QString &nomer, const QString &adr, const QString &kol,
                                            const QString &byteCount, const QString &reg1, const QString &reg2)
{
    m_word.clear();
    return compose_write_text(nomer, adr, kol, byteCount, reg1, reg2);
}

std::optional<QString> Wizard::composeDiag(WizardDiag which, const QString &nomer)
{
    return compose_diag_text(which, nomer);
}

std::optional<QString> Wizard::foundAddressText(int row) const
{
    if (row < 0 || row >= m_found.size())
        return std::nullopt;
    return QString::number(m_found.at(row));
}

void Wizard::setMessage(const QString &text)
{
    if (m_message == text)
        return;
    m_message = text;
    emit scanMessageChanged(text);
}

bool Wizard::startScan()
{
    if (m_scanning || m_released)
        return false;
    [[maybe_unused]] QCoro::Task<void> running = scan(); // runs on by itself
    return true;
}

QCoro::Task<void> Wizard::scan()
{
    if (m_scanning || m_released)
        co_return;
    m_scanning = true;
    m_stopScan = false;
    m_found.clear();
    m_foundLines.clear();
    m_silentLines.clear();
    m_position = 0;
    setMessage(QString());
    emit scanStarted();
    try {
        for (int a = 1; a <= kMaxAddress && !m_stopScan; ++a) {
            co_await test_sensor(a);
            m_position = a;
            emit positionChanged(a);
        }
    } catch (const PortError &e) {
        qCWarning(lcWizard) << "scan ended:" << e.what();
        setMessage(e.message());
    }
    m_scanning = false;
    emit scanFinished();
    goWhenIdle();
}

QCoro::Task<void> Wizard::test_sensor(int address)
{
    const QByteArray answer = co_await m_line.Timed_exchange(Build_identify(address), kIdentifyCap);
    if (!answer.isEmpty()) {
        // Any answer at all shows something lives at the address; its decoding is kept as
        // the wizard's result word only.
        Parse_identify(address, answer, m_word);
        m_found.append(address);
        m_foundLines.append(wizard_found_line(foundCount(), address));
        emit nodeFound(m_foundLines.constLast());
    } else {
        setMessage(kTimeOutExpired);
        m_silentLines.append(wizard_silent_line(address));
        emit addressSilent(m_silentLines.constLast());
    }
}

bool Wizard::send(WizardPage page, const QString &frameText)
{
    if (m_released)
        return false;
    const std::optional<QByteArray> request = wizard_request(page, frameText);
    if (!request)
        return false;
    [[maybe_unused]] QCoro::Task<void> running = sendTask(page, *request); // runs on by itself
    return true;
}

QCoro::Task<QString> Wizard::exchange(QByteArray request)
{
    const int cap = wizard_answer_cap(request);
    co_return wizard_answer_text(co_await m_line.Timed_exchange(std::move(request), cap));
}

QCoro::Task<void> Wizard::sendTask(WizardPage page, QByteArray request)
{
    ++m_sends;
    try {
        const QString answer = co_await exchange(std::move(request));
        if (!m_released)
            emit answered(page, answer);
    } catch (const std::exception &e) {
        qCWarning(lcWizard) << "send failed:" << e.what();
        if (!m_released)
            emit sendFailed(page, QString::fromUtf8(e.what()));
    }
    --m_sends;
    goWhenIdle();
}

void Wizard::release()
{
    if (m_released)
        return;
    m_released = true;
    m_stopScan = true;
    goWhenIdle();
}

void Wizard::goWhenIdle()
{
    if (m_released && !m_scanning && m_sends == 0)
        deleteLater();
}

} // namespace qlx
