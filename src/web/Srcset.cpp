#include "web/Srcset.h"

#include "web/Chars.h"

#include <cstdlib>
#include <string>

namespace {

bool isNonNegativeInteger(QByteArrayView number) {
    if (number.isEmpty())
        return false;
    for (const char c : number)
        if (!chars::isAsciiDigit(c))
            return false;
    return true;
}

bool isAllZeros(QByteArrayView number) {
    for (const char c : number)
        if (c != '0')
            return false;
    return true;
}

// The standard's "valid floating-point number": -?(digits(.digits)?|.digits)([eE][-+]?digits)?
bool isFloatingPoint(QByteArrayView number) {
    qsizetype i = 0;
    const qsizetype n = number.size();
    auto digits = [&] {
        const qsizetype start = i;
        while (i < n && chars::isAsciiDigit(number[i]))
            ++i;
        return i > start;
    };
    if (i < n && number[i] == '-')
        ++i;
    if (digits()) {
        if (i < n && number[i] == '.') {
            ++i;
            if (!digits())
                return false;
        }
    } else {
        if (i >= n || number[i] != '.')
            return false;
        ++i;
        if (!digits())
            return false;
    }
    if (i < n && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        if (i < n && (number[i] == '-' || number[i] == '+'))
            ++i;
        if (!digits())
            return false;
    }
    return i == n;
}

// A density below zero drops the candidate; "-0x", and values that round to -0, do not.
bool isNegative(QByteArrayView number) {
    if (number.isEmpty() || number[0] != '-')
        return false;
    const std::string copy(number.data(), size_t(number.size()));
    return std::strtod(copy.c_str(), nullptr) < 0;
}

// The descriptor checks of one candidate, fed one descriptor at a time.
class Descriptors {
public:
    void add(QByteArrayView descriptor) {
        const char last = descriptor.back();
        const QByteArrayView number = descriptor.first(descriptor.size() - 1);
        if (last == 'w' && isNonNegativeInteger(number)) {
            if (m_width || m_density)
                m_error = true;
            if (isAllZeros(number))
                m_error = true;
            else
                m_width = true;
            m_number = number;
        } else if (last == 'x' && isFloatingPoint(number)) {
            if (m_width || m_density || m_height)
                m_error = true;
            if (isNegative(number))
                m_error = true;
            else
                m_density = true;
            m_number = number;
        } else if (last == 'h' && isNonNegativeInteger(number)) {
            if (m_height || m_density)
                m_error = true;
            if (isAllZeros(number))
                m_error = true;
            else
                m_height = true;
        } else {
            m_error = true;
        }
    }
    bool valid() const { return !m_error && !(m_height && !m_width); }
    SrcsetCandidate::Kind kind() const {
        return m_width     ? SrcsetCandidate::Kind::Width
               : m_density ? SrcsetCandidate::Kind::Density
                           : SrcsetCandidate::Kind::None;
    }
    double value() const {
        if (!m_width && !m_density)
            return 1;
        const std::string copy(m_number.data(), size_t(m_number.size()));
        return std::strtod(copy.c_str(), nullptr);
    }

private:
    QByteArrayView m_number;
    bool m_error = false;
    bool m_width = false;
    bool m_density = false;
    bool m_height = false;
};

} // namespace

namespace {

// The standard's "parse a srcset attribute": found(url, descriptors) for each candidate kept.
template <class Found> void parseSrcset(QByteArrayView value, Found found) {
    const char* input = value.data();
    const qsizetype n = value.size();
    qsizetype pos = 0;
    for (;;) {
        while (pos < n && (chars::isAsciiWhitespace(input[pos]) || input[pos] == ','))
            ++pos;
        if (pos >= n)
            return;
        const qsizetype start = pos;
        while (pos < n && !chars::isAsciiWhitespace(input[pos]))
            ++pos;
        qsizetype urlEnd = pos;
        Descriptors descriptors;
        if (input[urlEnd - 1] == ',') {
            // A URL that ends in commas has no descriptors; the commas are not part of it.
            while (urlEnd > start && input[urlEnd - 1] == ',')
                --urlEnd;
        } else {
            while (pos < n && chars::isAsciiWhitespace(input[pos]))
                ++pos;
            // The current descriptor is always one run of the input: [currentStart, pos).
            qsizetype currentStart = pos;
            auto push = [&] {
                if (pos > currentStart)
                    descriptors.add(QByteArrayView(input + currentStart, pos - currentStart));
            };
            enum { InDescriptor, InParens, AfterDescriptor } state = InDescriptor;
            for (;;) {
                const int c = pos < n ? static_cast<unsigned char>(input[pos]) : -1;
                if (state == InDescriptor) {
                    if (c >= 0 && chars::isAsciiWhitespace(char(c))) {
                        push();
                        state = AfterDescriptor;
                    } else if (c == ',') {
                        push();
                        ++pos;
                        break;
                    } else if (c == '(') {
                        state = InParens;
                    } else if (c < 0) {
                        push();
                        break;
                    }
                } else if (state == InParens) {
                    if (c == ')') {
                        state = InDescriptor;
                    } else if (c < 0) {
                        push();
                        break;
                    }
                } else {
                    if (c < 0)
                        break;
                    if (!chars::isAsciiWhitespace(char(c))) {
                        state = InDescriptor;
                        currentStart = pos;
                        continue;
                    }
                }
                ++pos;
            }
        }
        if (descriptors.valid())
            found(QByteArrayView(input + start, urlEnd - start), descriptors);
    }
}

} // namespace

QList<QByteArrayView> srcsetUrls(QByteArrayView value) {
    QList<QByteArrayView> urls;
    parseSrcset(value, [&](QByteArrayView url, const Descriptors&) { urls.append(url); });
    return urls;
}

QList<SrcsetCandidate> srcsetCandidates(QByteArrayView value) {
    QList<SrcsetCandidate> candidates;
    parseSrcset(value, [&](QByteArrayView url, const Descriptors& d) {
        candidates.append({url, d.kind(), d.value()});
    });
    return candidates;
}
