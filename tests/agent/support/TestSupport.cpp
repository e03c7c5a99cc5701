#include "TestSupport.h"

#include <map>

namespace vgtest {

CaptureLogger& Log()
{
    return ProgramLogCapture();
}

std::string Enterprise(const std::string& tail)
{
    return "1.3.6.1.4.1.64950." + tail;
}

namespace {

std::atomic<uint32_t> g_lastSetRequester{0};
std::atomic<bool> g_destroysFail{false};

class RequesterLeaf : public MibLeaf {
public:
    RequesterLeaf() : MibLeaf("1.3.6.1.4.1.64950.99.4.0", MibAccess::ReadOnly, kSnmpInteger) {}
    int get_value(const MibRequest& request, SnmpValue& out) override
    {
        out = SnmpValue::Integer(static_cast<int32_t>(request.requester));
        return 0;
    }
};

class RecordingLeaf : public MibLeaf {
public:
    RecordingLeaf() : MibLeaf("1.3.6.1.4.1.64950.99.1.0", MibAccess::ReadWrite, kSnmpInteger)
    {
        set_stored_value(SnmpValue::Integer(7));
    }
    int set(const MibRequest& request, const SnmpValue& value) override
    {
        g_lastSetRequester.store(request.requester);
        return MibLeaf::set(request, value);
    }
};

class FailingLeaf : public MibLeaf {
public:
    FailingLeaf() : MibLeaf("1.3.6.1.4.1.64950.99.3.0", MibAccess::ReadWrite, kSnmpInteger) {}
    int set(const MibRequest&, const SnmpValue&) override { return 5; }
};

class DenseTable : public MibTable {
public:
    DenseTable() : MibTable("1.3.6.1.4.1.64950.99.10.1") {}
    std::atomic<uint32_t> last{0};
    std::mutex cellMutex;
    std::map<uint32_t, std::string> cells;
};

class RowColumn : public MibLeaf {
public:
    RowColumn() : MibLeaf("1", MibAccess::ReadOnly, kSnmpInteger) {}
    int get_value(const MibRequest& request, SnmpValue& out) override
    {
        out = SnmpValue::Integer(request.index.empty() ? 0 : static_cast<int32_t>(request.index[0]));
        return 0;
    }
};

class RowStatusColumn : public MibLeaf {
public:
    explicit RowStatusColumn(DenseTable& table)
        : MibLeaf("2", MibAccess::ReadCreate, kSnmpInteger), m_table(table)
    {
    }
    int get_value(const MibRequest&, SnmpValue& out) override
    {
        out = SnmpValue::Integer(1);
        return 0;
    }
    int set(const MibRequest& request, const SnmpValue& value) override
    {
        if (request.index.size() != 1)
            return 4;
        uint32_t r = request.index[0];
        uint32_t last = m_table.last.load();
        switch (value.integer) {
        case 4:
        case 5:
            if (r != last + 1)
                return 2;
            m_table.last.store(r);
            m_table.add_row(r);
            return 0;
        case 6:
            if (r == 0 || r > last)
                return 2;
            m_table.remove_row(last);
            m_table.last.store(last - 1);
            return 0;
        case 1:
        case 2:
            return r <= last ? 0 : 2;
        default:
            return 4;
        }
    }
    int undo_creation(const MibRequest& request) override { return set(request, SnmpValue::Integer(6)); }
    bool defers_to_commit(const MibRequest&, const SnmpValue& value) const override { return value.integer == 6; }
    int check_deferred(const MibRequest& request, const SnmpValue&) override
    {
        const uint32_t r = request.index.size() == 1 ? request.index[0] : 0;
        return r >= 1 && r <= m_table.last.load() ? 0 : 2;
    }
    int commit_deferred(const MibRequest& request, const SnmpValue& value, std::function<int()>& restore) override
    {
        if (g_destroysFail.load())
            return 5;
        const int status = set(request, value);
        if (status == 0)
            restore = [this] {
                const uint32_t r = m_table.last.load() + 1;
                m_table.last.store(r);
                m_table.add_row(r);
                return 0;
            };
        return status;
    }

private:
    DenseTable& m_table;
};

class TextColumn : public MibLeaf {
public:
    explicit TextColumn(DenseTable& table) : MibLeaf("3", MibAccess::ReadWrite, kSnmpOctetString), m_table(table) {}
    int get_value(const MibRequest& request, SnmpValue& out) override
    {
        std::lock_guard<std::mutex> lock(m_table.cellMutex);
        out = SnmpValue::Octets(m_table.cells[request.index.empty() ? 0 : request.index[0]]);
        return 0;
    }
    int set(const MibRequest& request, const SnmpValue& value) override
    {
        std::lock_guard<std::mutex> lock(m_table.cellMutex);
        m_table.cells[request.index[0]] = value.bytes;
        return 0;
    }

private:
    DenseTable& m_table;
};

}  // namespace

void AddTestMib(Mib& mib)
{
    auto* first = new MibGroup("1.3.6.1.4.1.64950.98", "vgTestFirst");
    auto* fixed = new MibLeaf("1.3.6.1.4.1.64950.98.1.0", MibAccess::ReadOnly, kSnmpInteger);
    fixed->set_stored_value(SnmpValue::Integer(98));
    first->add(fixed);
    first->add(new MibLeaf("1.3.6.1.4.1.64950.98.2.0", MibAccess::ReadWrite, kSnmpOctetString));
    mib.add(first);

    auto* main = new MibGroup("1.3.6.1.4.1.64950.99", "vgTestMain");
    main->add(new RecordingLeaf());
    auto* text = new MibLeaf("1.3.6.1.4.1.64950.99.2.0", MibAccess::ReadOnly, kSnmpOctetString);
    text->set_stored_value(SnmpValue::Octets("hello"));
    main->add(text);
    main->add(new FailingLeaf());
    main->add(new RequesterLeaf());
    main->add(new MibLeaf("1.3.6.1.4.1.64950.99.5.0", MibAccess::NoAccess, kSnmpInteger));
    auto* address = new MibLeaf("1.3.6.1.4.1.64950.99.6.0", MibAccess::ReadWrite, kSnmpIpAddress);
    address->set_stored_value(SnmpValue::IpAddress(0x0403020A));  // 10.2.3.4
    main->add(address);
    auto* table = new DenseTable();
    table->add_col(new RowColumn());
    table->add_col(new RowStatusColumn(*table));
    table->add_col(new TextColumn(*table));
    main->add(table);
    mib.add(main);
}

uint32_t LastSetRequester()
{
    return g_lastSetRequester.load();
}

void SetDestroysFail(bool fail)
{
    g_destroysFail.store(fail);
}

}  // namespace vgtest
