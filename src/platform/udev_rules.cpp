#include "platform/udev_rules.h"

#include "platform/shipped_udev_rule.h"

#include <QRegularExpression>

namespace lumora::platform {

namespace {

struct RuleToken {
    QString key;
    QString attribute; // the part in braces
    QString op;
    QString value;
};

// One rule line as tokens; empty for a comment, a blank line or one that does not parse.
QVector<RuleToken> ruleTokens(const QString &line)
{
    static const QRegularExpression token(
        QStringLiteral("\\G\\s*([A-Z_]+)(?:\\{([^}]*)\\})?\\s*(==|!=|\\+=|-=|:=|=)\\s*\"((?:[^\"\\\\]|\\\\.)*)\"\\s*(,|$)"));
    const QString text = line.trimmed();
    QVector<RuleToken> tokens;
    if (text.isEmpty() || text.startsWith('#'))
        return tokens;
    int at = 0;
    while (at < text.size()) {
        const QRegularExpressionMatch m = token.match(text, at);
        if (!m.hasMatch())
            return {};
        tokens.append({m.captured(1), m.captured(2), m.captured(3), m.captured(4)});
        at = m.capturedEnd();
    }
    return tokens;
}

// udev's patterns: shell globs, "|" between alternatives.
bool ruleGlobMatches(const QString &pattern, const QString &value)
{
    for (const QString &alternative : pattern.split('|')) {
        // Anchored at both ends already; no value here holds a '/'.
        const QRegularExpression glob(QRegularExpression::wildcardToRegularExpression(alternative));
        if (alternative.isEmpty() ? value.isEmpty() : glob.match(value).hasMatch())
            return true;
    }
    return false;
}

// Trailing whitespace of an attribute is ignored unless the pattern ends with some.
bool ruleValueMatches(const RuleToken &t, const QString *value)
{
    if (!value)
        return t.op == QLatin1String("!=");
    QString v = *value;
    if (!t.value.endsWith(' ') && !t.value.endsWith('\n'))
        while (!v.isEmpty() && v.back().isSpace())
            v.chop(1);
    return ruleGlobMatches(t.value, v) == (t.op == QLatin1String("=="));
}

bool isRuleParentKey(const QString &key)
{
    return key == QLatin1String("SUBSYSTEMS") || key == QLatin1String("KERNELS") || key == QLatin1String("ATTRS");
}

bool ruleLevelMatches(const UdevDevice::Level &level, const RuleToken &t)
{
    if (t.key == QLatin1String("SUBSYSTEMS") || t.key == QLatin1String("SUBSYSTEM"))
        return ruleValueMatches(t, &level.subsystem);
    if (t.key == QLatin1String("KERNELS") || t.key == QLatin1String("KERNEL"))
        return ruleValueMatches(t, &level.kernel);
    const auto it = level.attributes.constFind(t.attribute);
    return ruleValueMatches(t, it == level.attributes.constEnd() ? nullptr : &it.value());
}

struct RuleRun {
    const UdevDevice &device;
    UdevOutcome outcome;

    bool matches(const RuleToken &t) const
    {
        const UdevDevice::Level &self = device.chain.first();
        if (t.key == QLatin1String("ACTION"))
            return ruleValueMatches(t, &device.action);
        if (t.key == QLatin1String("SUBSYSTEM") || t.key == QLatin1String("KERNEL"))
            return ruleLevelMatches(self, t);
        if (t.key == QLatin1String("ATTR")) {
            const auto it = self.attributes.constFind(t.attribute);
            return ruleValueMatches(t, it == self.attributes.constEnd() ? nullptr : &it.value());
        }
        if (t.key == QLatin1String("ENV")) {
            const QString value = outcome.properties.value(t.attribute);
            return ruleValueMatches(t, &value);
        }
        if (t.key == QLatin1String("TEST"))
            return self.attributes.contains(t.value) == (t.op == QLatin1String("=="));
        return false;
    }

    // Every parent key of the line on one device of the chain.
    bool parentMatches(const QVector<RuleToken> &keys) const
    {
        if (keys.isEmpty())
            return true;
        for (const UdevDevice::Level &level : device.chain) {
            bool all = true;
            for (const RuleToken &t : keys)
                all = all && ruleLevelMatches(level, t);
            if (all)
                return true;
        }
        return false;
    }

    // The line's assignments; returns the label it jumps to, if any.
    QString assign(const QVector<RuleToken> &tokens)
    {
        QString jump;
        for (const RuleToken &t : tokens) {
            if (t.key == QLatin1String("ENV"))
                outcome.properties.insert(t.attribute, t.value);
            else if (t.key == QLatin1String("TAG") && !outcome.tags.contains(t.value))
                outcome.tags.append(t.value);
            else if (t.key == QLatin1String("ATTR"))
                outcome.attributeWrites.insert(t.attribute, t.value);
            else if (t.key == QLatin1String("OPTIONS"))
                outcome.options.append(t.value);
            else if (t.key == QLatin1String("GOTO"))
                jump = t.value;
        }
        return jump;
    }
};

} // namespace

UdevOutcome applyUdevRules(const QString &rules, const UdevDevice &device)
{
    RuleRun run{device, {}};
    run.outcome.properties = device.properties;
    if (device.chain.isEmpty())
        return run.outcome;
    QString skippingTo;
    for (const QString &line : rules.split('\n')) {
        const QVector<RuleToken> tokens = ruleTokens(line);
        if (tokens.isEmpty())
            continue;
        if (tokens.first().key == QLatin1String("LABEL")) {
            if (tokens.first().value == skippingTo)
                skippingTo.clear();
            continue;
        }
        if (!skippingTo.isEmpty())
            continue;
        QVector<RuleToken> parentKeys, assignments;
        bool matched = true;
        for (const RuleToken &t : tokens) {
            const bool isMatch = t.op == QLatin1String("==") || t.op == QLatin1String("!=");
            if (!isMatch)
                assignments.append(t);
            else if (isRuleParentKey(t.key))
                parentKeys.append(t);
            else
                matched = matched && run.matches(t);
        }
        if (matched && run.parentMatches(parentKeys))
            skippingTo = run.assign(assignments);
    }
    return run.outcome;
}

QString shippedUdevRule()
{
    return QString::fromUtf8(kShippedUdevRule);
}

QString usbAccessRuleLine(int vendorId, int productId)
{
    return QStringLiteral("SUBSYSTEM==\"usb\", ATTR{idVendor}==\"%1\", ATTR{idProduct}==\"%2\", TAG+=\"uaccess\"")
        .arg(vendorId, 4, 16, QLatin1Char('0'))
        .arg(productId, 4, 16, QLatin1Char('0'));
}

bool rulesGrantUsbDevice(const QString &rules, int vendorId, int productId)
{
    UdevDevice device;
    device.chain.append({QStringLiteral("usb"), QStringLiteral("1-1"),
                         {{QStringLiteral("idVendor"), QStringLiteral("%1").arg(vendorId, 4, 16, QLatin1Char('0'))},
                          {QStringLiteral("idProduct"), QStringLiteral("%1").arg(productId, 4, 16, QLatin1Char('0'))}}});
    device.properties.insert(QStringLiteral("DEVTYPE"), QStringLiteral("usb_device"));
    return applyUdevRules(rules, device).tags.contains(QLatin1String("uaccess"));
}

} // namespace lumora::platform
