// The settings as node params and Props writes read back, with SPA's own pod
// parser on the params the node publishes and hostile writes.
#include "ControlTable.h"

#include <gtest/gtest.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>

#include <cstring>

namespace {

using cvl::camera::ControlTable;
using cvl::camera::ControlWrite;

std::vector<CVLSetting> Camera() {
    return {
        {"iso", "400", {"auto", "100", "200", "400", "800"}},
        {"white-balance", "daylight", {"auto", "daylight", "tungsten"}},
        {"exposure-compensation", "0", {"-1", "0", "+1"}},
        {"zoom-position", "0.5,0.25", {}},
        {"mystery", "1", {"1", "2"}},
    };
}

struct Built {
    std::vector<uint8_t> memory = std::vector<uint8_t>(16384);
    std::vector<const spa_pod*> params;
};

bool Build(const ControlTable& table, Built& built) {
    spa_pod_builder builder =
        SPA_POD_BUILDER_INIT(built.memory.data(), static_cast<uint32_t>(built.memory.size()));
    return table.Build(builder, built.params);
}

// A Props write of one value, made by fill.
template <typename Fill> std::vector<uint8_t> Props(uint32_t key, Fill fill) {
    std::vector<uint8_t> memory(1024);
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory.data(), 1024);
    spa_pod_frame frame;
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(&builder, key, 0);
    fill(builder);
    spa_pod_builder_pop(&builder, &frame);
    return memory;
}

void Read(const ControlTable& table, const std::vector<uint8_t>& pod,
          std::vector<ControlWrite>& writes, std::vector<std::string>& refusals) {
    writes.clear();
    refusals.clear();
    table.Read(reinterpret_cast<const spa_pod*>(pod.data()), writes, refusals);
}

TEST(ControlTable, PublishesMenusWithLabelsAndActionsThatPwV4l2CanListFirst) {
    ControlTable table;
    EXPECT_FALSE(table.Update({}));
    EXPECT_TRUE(table.Empty());
    ASSERT_TRUE(table.Update(Camera()));
    EXPECT_FALSE(table.Update(Camera())) << "nothing changed";

    Built built;
    ASSERT_TRUE(Build(table, built));
    // iso, white balance, compensation, the two zoom coordinates, autofocus,
    // focus; the unknown setting is left out; then Props.
    ASSERT_EQ(built.params.size(), 8u);
    std::vector<uint32_t> ids;
    bool menusStarted = false;
    for (size_t i = 0; i + 1 < built.params.size(); ++i) {
        uint32_t id = 0;
        const char* name = nullptr;
        const char* description = nullptr;
        const spa_pod* type = nullptr;
        ASSERT_EQ(spa_pod_parse_object(built.params[i], SPA_TYPE_OBJECT_PropInfo, nullptr,
                                       SPA_PROP_INFO_id, SPA_POD_Id(&id), SPA_PROP_INFO_name,
                                       SPA_POD_String(&name), SPA_PROP_INFO_description,
                                       SPA_POD_String(&description), SPA_PROP_INFO_type,
                                       SPA_POD_PodChoice(&type)),
                  4);
        EXPECT_LT(std::strlen(description), 32u) << "a V4L2 control name holds 31";
        EXPECT_EQ(ControlTable::PropId(name), id);
        uint32_t count = 0;
        uint32_t choice = 0;
        const spa_pod* values = spa_pod_get_values(type, &count, &choice);
        if (choice == SPA_CHOICE_Enum && spa_pod_is_int(values)) {
            menusStarted = true;
            if (std::strcmp(name, "iso") == 0) {
                EXPECT_EQ(id, static_cast<uint32_t>(SPA_PROP_gain));
                // The current choice, then the five indices.
                ASSERT_EQ(count, 6u);
                EXPECT_EQ(static_cast<const int32_t*>(SPA_POD_BODY(values))[0], 3);
            }
        } else {
            EXPECT_FALSE(menusStarted) << name << " comes after a menu";
            // Ranges as pw-v4l2 reads them: default, minimum, maximum, step.
            EXPECT_TRUE((choice == SPA_CHOICE_Step && count == 4) || spa_pod_is_bool(values))
                << name;
            ids.push_back(id);
        }
    }
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(ids.size(), 4u);

    // Props: the index of the current choice, the zoom centre in
    // thousandths, the actions at rest.
    int32_t iso = -1;
    int32_t across = -1;
    bool autofocus = true;
    ASSERT_EQ(spa_pod_parse_object(built.params.back(), SPA_TYPE_OBJECT_Props, nullptr,
                                   SPA_PROP_gain, SPA_POD_Int(&iso),
                                   ControlTable::PropId("zoom-position-x"), SPA_POD_Int(&across),
                                   ControlTable::PropId("autofocus"), SPA_POD_Bool(&autofocus)),
              3);
    EXPECT_EQ(iso, 3);
    EXPECT_EQ(across, 500);
    EXPECT_FALSE(autofocus);

    // Memory too small: refused, not overrun.
    std::vector<uint8_t> small(64);
    spa_pod_builder tight = SPA_POD_BUILDER_INIT(small.data(), 64);
    std::vector<const spa_pod*> params;
    EXPECT_FALSE(table.Build(tight, params));
}

TEST(ControlTable, ReadsWritesAndRefusesWhatIsNotASettingOrValue) {
    ControlTable table;
    std::vector<ControlWrite> writes;
    std::vector<std::string> refusals;
    const uint32_t wb = ControlTable::PropId("white-balance");
    const auto tungsten = Props(wb, [](spa_pod_builder& b) { spa_pod_builder_int(&b, 2); });
    Read(table, tungsten, writes, refusals);
    EXPECT_TRUE(writes.empty());
    ASSERT_EQ(refusals.size(), 1u) << "no camera: nothing to change";

    ASSERT_TRUE(table.Update(Camera()));
    Read(table, tungsten, writes, refusals);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_FALSE(writes[0].action);
    EXPECT_EQ(writes[0].name, "white-balance");
    EXPECT_EQ(writes[0].value, "tungsten");
    // Actions: autofocus written true, focus steps near and far; rest values
    // ask nothing.
    Read(table,
         Props(ControlTable::PropId("autofocus"),
               [](spa_pod_builder& b) { spa_pod_builder_bool(&b, true); }),
         writes, refusals);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_TRUE(writes[0].action);
    EXPECT_EQ(writes[0].value, "autofocus");
    const uint32_t focus = ControlTable::PropId("focus");
    Read(table, Props(focus, [](spa_pod_builder& b) { spa_pod_builder_int(&b, -2); }), writes,
         refusals);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, "focus near 2");
    Read(table, Props(focus, [](spa_pod_builder& b) { spa_pod_builder_int(&b, 0); }), writes,
         refusals);
    EXPECT_TRUE(writes.empty());
    EXPECT_TRUE(refusals.empty());

    // One zoom coordinate keeps the other.
    Read(table,
         Props(ControlTable::PropId("zoom-position-y"),
               [](spa_pod_builder& b) { spa_pod_builder_int(&b, 750); }),
         writes, refusals);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].name, "zoom-position");
    EXPECT_EQ(writes[0].value, "0.500,0.750");

    // Refused, each with a reason, nothing written.
    const std::vector<std::vector<uint8_t>> bad = {
        Props(wb, [](spa_pod_builder& b) { spa_pod_builder_int(&b, 3); }),
        Props(wb, [](spa_pod_builder& b) { spa_pod_builder_int(&b, -1); }),
        Props(wb, [](spa_pod_builder& b) { spa_pod_builder_float(&b, 1.5f); }),
        Props(wb, [](spa_pod_builder& b) { spa_pod_builder_double(&b, 1e300); }),
        Props(wb, [](spa_pod_builder& b) { spa_pod_builder_bool(&b, true); }),
        Props(wb, [](spa_pod_builder& b) { spa_pod_builder_none(&b); }),
        Props(focus, [](spa_pod_builder& b) { spa_pod_builder_int(&b, 4); }),
        Props(ControlTable::PropId("zoom-position-x"),
              [](spa_pod_builder& b) { spa_pod_builder_int(&b, 1001); }),
        Props(ControlTable::PropId("autofocus"),
              [](spa_pod_builder& b) { spa_pod_builder_int(&b, 7); }),
        Props(SPA_PROP_volume, [](spa_pod_builder& b) { spa_pod_builder_float(&b, 1.0f); }),
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        Read(table, bad[i], writes, refusals);
        EXPECT_TRUE(writes.empty()) << i;
        EXPECT_EQ(refusals.size(), 1u) << i;
    }
    EXPECT_NE(refusals[0].find("0x10003"), std::string::npos) << refusals[0];

    // Not a Props object at all.
    std::vector<uint8_t> memory(256);
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory.data(), 256);
    spa_pod_builder_int(&builder, 1);
    Read(table, memory, writes, refusals);
    EXPECT_EQ(refusals.size(), 1u);
}

} // namespace
