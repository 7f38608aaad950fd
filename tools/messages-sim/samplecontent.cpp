#include "samplecontent.h"

#include "seededrandom.h"

#include <QStringList>

namespace velto::sim {

namespace {

const QStringList &phrases()
{
    static const QStringList list{
        QStringLiteral("Hey, are we still on for tonight?"),
        QStringLiteral("Running 10 minutes late, sorry!"),
        QStringLiteral("Can you pick up milk on the way home"),
        QStringLiteral("Sounds good"),
        QStringLiteral("ok"),
        QStringLiteral("Thanks so much!"),
        QStringLiteral("Did you see the game last night?"),
        QStringLiteral("I'll call you after the meeting."),
        QStringLiteral("What time does the train leave?"),
        QStringLiteral("lol that's amazing"),
        QStringLiteral("Happy birthday!! Hope you have a great day"),
        QStringLiteral("The package arrived this morning."),
        QStringLiteral("Let me check and get back to you"),
        QStringLiteral("Where did you park?"),
        QStringLiteral("Dinner is at 7:30, table for four."),
        QStringLiteral("I can't make it tomorrow, can we move it to Friday?"),
        QStringLiteral("Just landed ✈️"),
        QStringLiteral("Don't forget the tickets"),
        QStringLiteral("Are you coming to the party on Saturday?"),
        QStringLiteral("Yes!"),
        QStringLiteral("No worries"),
        QStringLiteral("I’m going to try to be there as quick as possible"),
        QStringLiteral("Who's bringing dessert?"),
        QStringLiteral("The meeting moved to room 4B."),
        QStringLiteral("Good morning ☀️"),
        QStringLiteral("Can you send me the address again?"),
        QStringLiteral("That's $42.50 each, I paid for the tickets"),
        QStringLiteral("Traffic is terrible on the bridge"),
        QStringLiteral("Miss you!"),
        QStringLiteral("Haha yes exactly"),
        QStringLiteral("We need to talk about the budget for next quarter."),
        QStringLiteral("Call me when you get a chance"),
        QStringLiteral("The kids are asleep finally"),
        QStringLiteral("Is the store still open?"),
        QStringLiteral("I left my keys at your place"),
        QStringLiteral("On my way"),
        QStringLiteral("Café at the corner, 10am?"),
        QStringLiteral("Naïve question: does the 5:15 stop at Central?"),
        QStringLiteral("See you soon"),
        QStringLiteral("Got it, thanks"),
    };
    return list;
}

const QStringList &emojis()
{
    static const QStringList list{
        QStringLiteral("😂"), QStringLiteral("❤️"), QStringLiteral("👍"), QStringLiteral("🎉"),
        QStringLiteral("🙏🏽"), QStringLiteral("👨‍👩‍👧‍👦"), QStringLiteral("🇯🇵"), QStringLiteral("🔥"),
        QStringLiteral("😅"), QStringLiteral("🥳"), QStringLiteral("🤷‍♀️"), QStringLiteral("☕️"),
        QStringLiteral("🅱️"), QStringLiteral("✨"), QStringLiteral("🍕"), QStringLiteral("🏳️‍🌈"),
    };
    return list;
}

const QStringList &nonBmpTexts()
{
    static const QStringList list{
        QStringLiteral("𝖍𝖊𝖑𝖑𝖔 𝖜𝖔𝖗𝖑𝖉"),
        QStringLiteral("𝓖𝓸𝓸𝓭 𝓷𝓲𝓰𝓱𝓽"),
        QStringLiteral("𝐁𝐎𝐋𝐃 move"),
        QStringLiteral("𠜎𠜱𠝹𠱓 (rare characters)"),
        QStringLiteral("𝄞 music time 𝄢"),
    };
    return list;
}

const QStringList &otherScriptTexts()
{
    static const QStringList list{
        QStringLiteral("أهلاً بالعالم"),
        QStringLiteral("مرحبا، كيف حالك اليوم؟"),
        QStringLiteral("שלום, מה נשמע?"),
        QStringLiteral("今天晚上一起吃饭吗？"),
        QStringLiteral("明日の会議は10時からです"),
        QStringLiteral("Привет! Как дела?"),
        QStringLiteral("Καλημέρα σε όλους"),
        QStringLiteral("안녕하세요, 잘 지내세요?"),
        QStringLiteral("नमस्ते, आप कैसे हैं?"),
        QStringLiteral("Reversed c: ↄ and Ↄ in one line"),
    };
    return list;
}

const QStringList &sentences()
{
    static const QStringList list{
        QStringLiteral("Sed nibh velit, sodales et facilisis ut, sodales id libero."),
        QStringLiteral("So here is the full plan for the weekend, as far as I can tell."),
        QStringLiteral("We leave Friday around five, stop for food somewhere near the lake, and check in by nine."),
        QStringLiteral("Saturday is the hike, about twelve kilometres with a long lunch break at the hut."),
        QStringLiteral("If it rains we switch to the museum and the old town instead."),
        QStringLiteral("Sunday morning is free; checkout is at eleven and we should be home mid-afternoon."),
        QStringLiteral("Bring boots, a warm layer, sunscreen, and whatever snacks you like."),
        QStringLiteral("Let me know by Wednesday if anything changes — I need to confirm the booking."),
        QStringLiteral("Ünïcödé sentences count their bytes differently from their characters."),
        QStringLiteral("I also talked to Sam about splitting the costs: fuel, food and the cabin, three ways."),
    };
    return list;
}

const QStringList &transcriptions()
{
    static const QStringList list{
        QStringLiteral("Hey it's me, just calling to say I'm running a bit late, see you in twenty minutes"),
        QStringLiteral("Can you call me back when you get this, it's about the car"),
        QStringLiteral("This is a test"),
        QStringLiteral("I don't think that's right, let's talk about it tonight"),
        QStringLiteral("Happy birthday! Love you, have a great day"),
        QStringLiteral("Okay so the address is 12 Harbour Street, the blue door next to the bakery"),
    };
    return list;
}

const QStringList &groupNames()
{
    static const QStringList list{
        QStringLiteral("Family"), QStringLiteral("Book club 📚"), QStringLiteral("Weekend hiking"),
        QStringLiteral("Team lunch"), QStringLiteral("Roommates"), QStringLiteral("Soccer moms ⚽️"),
        QStringLiteral("Проект"), QStringLiteral("Trip to Lisbon"), QStringLiteral("Band practice"),
        QStringLiteral("Neighbours"), QStringLiteral("العائلة"), QStringLiteral("Game night 🎲"),
    };
    return list;
}

const QStringList &firstNames()
{
    static const QStringList list{
        QStringLiteral("alex"), QStringLiteral("sam"), QStringLiteral("jordan"), QStringLiteral("maria"),
        QStringLiteral("li"), QStringLiteral("fatima"), QStringLiteral("noah"), QStringLiteral("emma"),
        QStringLiteral("lucas"), QStringLiteral("olivia"), QStringLiteral("yusuf"), QStringLiteral("chloe"),
        QStringLiteral("mateo"), QStringLiteral("hana"), QStringLiteral("ivan"), QStringLiteral("zoe"),
    };
    return list;
}

const QStringList &lastNames()
{
    static const QStringList list{
        QStringLiteral("smith"), QStringLiteral("garcia"), QStringLiteral("chen"), QStringLiteral("khan"),
        QStringLiteral("muller"), QStringLiteral("rossi"), QStringLiteral("tanaka"), QStringLiteral("silva"),
        QStringLiteral("novak"), QStringLiteral("obrien"), QStringLiteral("haddad"), QStringLiteral("larsen"),
    };
    return list;
}

const QStringList &domains()
{
    static const QStringList list{QStringLiteral("example.com"), QStringLiteral("example.org"),
                                  QStringLiteral("example.net"), QStringLiteral("mail.example.com")};
    return list;
}

const QStringList &usAreaCodes()
{
    static const QStringList list{
        QStringLiteral("202"), QStringLiteral("212"), QStringLiteral("213"), QStringLiteral("305"),
        QStringLiteral("310"), QStringLiteral("312"), QStringLiteral("404"), QStringLiteral("415"),
        QStringLiteral("503"), QStringLiteral("512"), QStringLiteral("602"), QStringLiteral("617"),
        QStringLiteral("646"), QStringLiteral("702"), QStringLiteral("713"), QStringLiteral("718"),
        QStringLiteral("720"), QStringLiteral("206"), QStringLiteral("303"), QStringLiteral("919"),
    };
    return list;
}

QString reactionVerb(int base)
{
    switch (base) {
    case 2000:
        return QStringLiteral("Loved");
    case 2001:
        return QStringLiteral("Liked");
    case 2002:
        return QStringLiteral("Disliked");
    case 2003:
        return QStringLiteral("Laughed at");
    case 2004:
        return QStringLiteral("Emphasized");
    default:
        return QStringLiteral("Questioned");
    }
}

QString removalNoun(int base)
{
    switch (base) {
    case 2000:
        return QStringLiteral("a heart");
    case 2001:
        return QStringLiteral("a like");
    case 2002:
        return QStringLiteral("a dislike");
    case 2003:
        return QStringLiteral("a laugh");
    case 2004:
        return QStringLiteral("an exclamation");
    default:
        return QStringLiteral("a question mark");
    }
}

} // namespace

QString SampleContent::ownerPhone()
{
    return QStringLiteral("+14155550100");
}

QString SampleContent::ownerEmail()
{
    return QStringLiteral("owner@example.com");
}

QString SampleContent::phoneNumber(SeededRandom &random, int serial)
{
    // 555-0100…0199 in every area code, then the UK's 07700 900xxx, both kept for fiction.
    const int usCount = int(usAreaCodes().size()) * 100;
    if (serial < usCount) {
        return QStringLiteral("+1") + usAreaCodes().at(serial / 100) + QStringLiteral("5550")
             + QStringLiteral("%1").arg(100 + serial % 100);
    }
    if (serial < usCount + 1000)
        return QStringLiteral("+447700900") + QStringLiteral("%1").arg(serial - usCount, 3, 10, QLatin1Char('0'));
    const QString area = random.pick(usAreaCodes());
    return QStringLiteral("+1") + area + QStringLiteral("555")
         + QStringLiteral("%1").arg(random.below(10000), 4, 10, QLatin1Char('0'));
}

QString SampleContent::emailAddress(SeededRandom &random, int serial)
{
    // One draw per statement: the order of operands of + is unspecified, the seed's sequence is not.
    const QString first = random.pick(firstNames());
    const QString last = random.pick(lastNames());
    const QString name = first + QLatin1Char('.') + last;
    return name + QString::number(serial) + QLatin1Char('@') + random.pick(domains());
}

QString SampleContent::groupName(SeededRandom &random)
{
    return random.pick(groupNames());
}

QString SampleContent::ordinaryText(SeededRandom &random)
{
    QString text = random.pick(phrases());
    if (random.perMille(250))
        text += QLatin1Char(' ') + random.pick(phrases());
    return text;
}

QString SampleContent::emojiText(SeededRandom &random)
{
    if (random.perMille(200)) {
        QString text = random.pick(emojis());
        text += random.pick(emojis());
        text += random.pick(emojis());
        return text;
    }
    const QString phrase = random.pick(phrases());
    return phrase + QLatin1Char(' ') + random.pick(emojis());
}

QString SampleContent::nonBmpText(SeededRandom &random)
{
    return random.pick(nonBmpTexts());
}

QString SampleContent::otherScriptText(SeededRandom &random)
{
    return random.pick(otherScriptTexts());
}

QString SampleContent::multilineText(SeededRandom &random)
{
    QString text = random.pick(phrases());
    text += QStringLiteral("\n\n") + random.pick(phrases());
    text += QLatin1Char('\n') + random.pick(phrases());
    return text;
}

QString SampleContent::longText(SeededRandom &random, int minBytes)
{
    QString text;
    qsizetype bytes = 0;
    while (bytes < minBytes) {
        const QString sentence = random.pick(sentences());
        if (!text.isEmpty()) {
            text += QLatin1Char(' ');
            ++bytes;
        }
        text += sentence;
        bytes += sentence.toUtf8().size();
    }
    return text;
}

QString SampleContent::urlText(SeededRandom &random)
{
    static const QStringList urls{
        QStringLiteral("https://www.example.com/articles/2025/03/how-to-plan-a-weekend-trip"),
        QStringLiteral("https://example.org/recipes/lemon-tart"),
        QStringLiteral("https://video.example.net/watch?v=dQw4w9WgXcQ&t=42"),
        QStringLiteral("https://maps.example.com/?q=12+Harbour+Street"),
        QStringLiteral("https://shop.example.com/products/blue-jacket?size=m&colour=navy"),
    };
    const QString url = random.pick(urls);
    return random.perMille(500) ? url : QString(QStringLiteral("Look at this ") + url);
}

QString SampleContent::transcription(SeededRandom &random)
{
    return random.pick(transcriptions());
}

QString SampleContent::customEmoji(SeededRandom &random)
{
    static const QStringList list{QStringLiteral("🎉"), QStringLiteral("🔥"), QStringLiteral("🙏"),
                                  QStringLiteral("😍"), QStringLiteral("🥲"), QStringLiteral("👀"),
                                  QStringLiteral("💯"), QStringLiteral("🫶")};
    return random.pick(list);
}

QString SampleContent::caption(SeededRandom &random)
{
    static const QStringList list{QStringLiteral("Look at this!"), QStringLiteral("From today"),
                                  QStringLiteral("😍"), QStringLiteral("The view from the top")};
    return random.pick(list);
}

QString SampleContent::quoted(const QString &text)
{
    return QStringLiteral("“") + text + QStringLiteral("”");
}

QString SampleContent::tapbackText(int associatedType, const QString &emoji, const QString &targetSummary)
{
    const bool removal = associatedType >= 3000;
    const int base = removal ? associatedType - 1000 : associatedType;
    if (base == 2006) {
        if (!removal)
            return QStringLiteral("Reacted %1 to %2").arg(emoji, targetSummary);
        if (emoji.isEmpty())
            return QStringLiteral("Removed a reaction from %1").arg(targetSummary);
        return QStringLiteral("Removed %1 from %2").arg(emoji, targetSummary);
    }
    if (removal)
        return QStringLiteral("Removed %1 from %2").arg(removalNoun(base), targetSummary);
    return QStringLiteral("%1 %2").arg(reactionVerb(base), targetSummary);
}

} // namespace velto::sim
