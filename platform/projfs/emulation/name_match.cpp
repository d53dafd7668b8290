#include <platform/projfs/emulation/name_match.h>

#include <platform/projfs/emulation/root_record.h>

#include <vector>

namespace projfs::emulation {

namespace {

class matcher {
public:
    matcher(std::wstring_view name, std::wstring_view expression)
        : name_(fold_case(name)), expression_(fold_case(expression)), last_dot_(name_.rfind(L'.')),
          memo_((expression_.size() + 1) * (name_.size() + 1), unknown)
    {
    }

    bool match(std::size_t e, std::size_t n)
    {
        char& known = memo_[e * (name_.size() + 1) + n];
        if (known == unknown)
            known = compute(e, n) ? yes : no;
        return known == yes;
    }

private:
    static constexpr char unknown = 0, yes = 1, no = 2;

    bool compute(std::size_t e, std::size_t n)
    {
        if (e == expression_.size())
            return n == name_.size();
        const bool more = n < name_.size();
        switch (wchar_t c = expression_[e]) {
        case L'*':
            return match(e + 1, n) || (more && match(e, n + 1));
        case L'<':
            // Never runs over the name's last dot.
            return match(e + 1, n) || (more && n != last_dot_ && match(e, n + 1));
        case L'?':
            return more && match(e + 1, n + 1);
        case L'>':
            if (!more || name_[n] == L'.')
                return match(e + 1, n);
            return match(e + 1, n + 1);
        case L'"':
            if (!more)
                return match(e + 1, n);
            return name_[n] == L'.' && match(e + 1, n + 1);
        default:
            return more && name_[n] == c && match(e + 1, n + 1);
        }
    }

    std::wstring name_;
    std::wstring expression_;
    std::size_t last_dot_;
    std::vector<char> memo_;
};

} // namespace

bool name_matches(std::wstring_view name, std::wstring_view expression)
{
    if (expression.empty())
        return true;
    return matcher(name, expression).match(0, 0);
}

} // namespace projfs::emulation
