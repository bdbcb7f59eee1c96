// Random and corrupted answers: the exchanges must only ever end in a correct
// result or one of the named errors, never crash or hang, and never store a
// record the reader did not hold. Reproducible: every case has its own seed.

#include <gtest/gtest.h>

#include <random>

#include "shell/Errors.h"
#include "tests/link/LinkTestSupport.h"

namespace {

const QString kTooMany = "Se supero la cantidad maxima de intentos de comunicación";
const QDateTime kNow = At(2026, 6, 15, 10, 0);

struct Truth {
    QByteArray record;
    bool decodes;
    qint32 key;
    QDateTime moment;
    QByteArray code;
};

QByteArray Two(int v) {
    return QByteArray::number(v).rightJustified(2, '0');
}

Truth RandomRegistration(std::mt19937& rng) {
    std::uniform_int_distribution<int> month(1, 12), day(1, 28), hour(0, 23), minute(0, 59),
        key(0, 99999), code(10, 99), bad(0, 4);
    Truth t;
    const int m = month(rng), d = day(rng), h = hour(rng), n = minute(rng), k = key(rng);
    t.code = QByteArray::number(code(rng));
    QByteArray keyText = QByteArray::number(k).rightJustified(5, '0');
    QByteArray mm = Two(m);
    t.decodes = true;
    switch (bad(rng)) {
        case 0:
            mm = "13";
            t.decodes = false;
            break;
        case 1:
            keyText[2] = 'K';
            t.decodes = false;
            break;
        default:
            break;
    }
    t.record = Sealed("A" + t.code + mm + Two(d) + Two(h) + Two(n) + keyText + "0");
    t.key = k;
    // The year rule with "now" in June: later months are last year's.
    t.moment = At(m > kNow.date().month() ? 2025 : 2026, m, d, h, n);
    return t;
}

// One corruption of an answer from the reader, chosen at random. None of them
// can turn a record into another valid one: a single changed byte always
// breaks the exclusive-or, and random bytes are too few to form a record.
QByteArray Corrupt(QByteArray a, std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(0, 99);
    const int p = pick(rng);
    if (p < 55 || a.isEmpty())
        return a;
    if (p < 65)
        return {};  // lost
    if (p < 75)
        return a.left(std::uniform_int_distribution<int>(0, int(a.size()) - 1)(rng));
    if (p < 88) {
        const int i = std::uniform_int_distribution<int>(0, int(a.size()) - 1)(rng);
        a[i] = char(a[i] ^ std::uniform_int_distribution<int>(1, 255)(rng));
        return a;
    }
    QByteArray junk;
    const int n = std::uniform_int_distribution<int>(0, 17)(rng);
    for (int i = 0; i < n; ++i) junk.append(char(std::uniform_int_distribution<int>(0, 255)(rng)));
    if (p < 94)
        return junk;  // noise instead of the answer
    return a + junk;  // the answer with trailing noise
}

TEST(Fuzz, CorruptedAnswersNeverYieldWrongData) {
    int completed = 0, failed = 0;
    for (quint32 seed = 1; seed <= 2000; ++seed) {
        std::mt19937 rng(seed);
        QList<Truth> truth;
        const int count = std::uniform_int_distribution<int>(0, 6)(rng);
        for (int i = 0; i < count; ++i) truth.append(RandomRegistration(rng));
        QList<QByteArray> records;
        for (const auto& t : truth) records.append(t.record);
        ScriptedReader reader(records);
        reader.mangle = [&rng](const QByteArray& a) { return Corrupt(a, rng); };
        MemoryLink m(&reader, false, FixedClock(kNow));
        m.link.SetMaxRetries(quint16(std::uniform_int_distribution<int>(0, 4)(rng)));

        QList<Truth> expected;
        int undecodable = 0;
        for (const auto& t : truth) {
            if (t.decodes) {
                expected.append(t);
            } else {
                ++undecodable;
            }
        }
        auto matchesPrefix = [&](const TListaFichadas& lista) {
            if (lista.Count() > expected.size())
                return false;
            for (qsizetype i = 0; i < lista.Count(); ++i) {
                if (lista[i].NroLlave() != expected[i].key ||
                    lista[i].FechaHora() != expected[i].moment ||
                    lista[i].GetEstado() != QString::fromLatin1(expected[i].code)) {
                    return false;
                }
            }
            return true;
        };

        TListaFichadas lista;
        try {
            m.link.Initialize();
            ASSERT_EQ(m.link.Data().Cantidad, count) << "seed " << seed;
            ASSERT_EQ(m.link.Data().Mes, 12) << "seed " << seed;
            m.link.ReadRegistrations(lista);
            ASSERT_EQ(lista.Count(), expected.size()) << "seed " << seed;
            ASSERT_EQ(m.link.Data().Rechazadas, undecodable) << "seed " << seed;
            ASSERT_TRUE(matchesPrefix(lista)) << "seed " << seed;
            m.link.ClearMemory();
            ASSERT_TRUE(reader.erased);
            m.link.AddKeyEx(qint32(seed), '1', '2');
            ++completed;
        } catch (const EConvertError& e) {
            FAIL() << "seed " << seed
                   << ": a corrupted status record was decoded: " << e.Message().toStdString();
        } catch (const Exception& e) {
            ASSERT_EQ(e.Message(), kTooMany) << "seed " << seed;
            ASSERT_TRUE(matchesPrefix(lista)) << "seed " << seed;
            ++failed;
        }
        ASSERT_LT(m.port().Writes().size(), 200) << "seed " << seed;
    }
    // Both outcomes occur, or the corruption is not doing its job.
    EXPECT_GT(completed, 100);
    EXPECT_GT(failed, 100);
}

TEST(Fuzz, ArbitraryBytesAndLostLinesEndOnlyInNamedErrors) {
    const QStringList known = {kTooMany, "El puerto esta cerrado",
                               "No se ha inicializado el reloj"};
    int outcomes[4] = {};
    for (quint32 seed = 1; seed <= 1000; ++seed) {
        std::mt19937 rng(seed * 7919u);
        MemoryLink m(nullptr, true, FixedClock(kNow));
        m.link.SetMaxRetries(quint16(std::uniform_int_distribution<int>(0, 3)(rng)));
        const int loseAfter = std::uniform_int_distribution<int>(0, 60)(rng);
        m.port().SetResponder([&rng, loseAfter](MemoryPort& port, const QByteArray&) {
            if (port.Writes().size() > loseAfter)
                port.SetLost(true);
            std::uniform_int_distribution<int> len(0, 40), byte(0, 255), kind(0, 9);
            QByteArray a;
            const int k = kind(rng);
            // Mostly noise, with some answers that start right.
            if (k < 3)
                a.append(char(0x06));
            const int n = len(rng);
            for (int i = 0; i < n; ++i) a.append(char(k < 5 ? '0' + byte(rng) % 10 : byte(rng)));
            port.Feed(a);
        });
        TListaFichadas lista;
        const std::function<void()> ops[] = {
            [&] { m.link.Initialize(); },  [&] { m.link.ReadRegistrations(lista); },
            [&] { m.link.ClearMemory(); }, [&] { m.link.SendProfile("02ABCDEFGHIJKLMNOPQR"); },
            [&] { m.link.SetClock(); },
        };
        for (const auto& op : ops) {
            try {
                op();
                ++outcomes[0];
            } catch (const EConvertError&) {
                ++outcomes[1];
            } catch (const EWin32Error& e) {
                ASSERT_EQ(e.ErrorCode(), EIO) << "seed " << seed;
                ++outcomes[2];
            } catch (const Exception& e) {
                ASSERT_TRUE(known.contains(e.Message())) << e.Message().toStdString();
                ++outcomes[3];
            }
            ASSERT_LE(lista.Count(), m.link.Data().Cantidad) << "seed " << seed;
        }
    }
    EXPECT_GT(outcomes[0], 0);
    EXPECT_GT(outcomes[2], 0);
    EXPECT_GT(outcomes[3], 0);
}

}  // namespace
