#pragma once

// The stream processor's state machine; only StreamProcessor.cpp includes it.

#include <exception>
#include <iostream>
#include <typeinfo>

#include <boost/core/demangle.hpp>
#include <boost/mpl/vector.hpp>
#include <boost/msm/back/state_machine.hpp>
#include <boost/msm/front/state_machine_def.hpp>

#include "StreamMessage.h"
#include "StreamProcessor.h"

namespace Lumeth::Core::SensorLibrary {

struct EventValidHeaderFound {};
struct EventInvalidHeaderFound {};
struct EventInvalidBodyFound {};
struct EventMessageRead {
  StreamMessage message;
};
struct EventBufferNotSufficientlyFilled {};
struct EventDataNotFound {};
struct EventOperationCompleted {};
struct EventExceptionCaught {};

// Lets a state be named from its id.
struct QuenlithStreamProcessorStateMachineBaseState {
  virtual ~QuenlithStreamProcessorStateMachineBaseState() = default;
};

struct QuenlithStreamProcessorStateMachineFrontEnd
    : boost::msm::front::state_machine_def<QuenlithStreamProcessorStateMachineFrontEnd,
                                           QuenlithStreamProcessorStateMachineBaseState> {
  using BaseState = QuenlithStreamProcessorStateMachineBaseState;
  using BaseAllStates = BaseState;

  explicit QuenlithStreamProcessorStateMachineFrontEnd(StreamProcessor* owner) : processor(owner) {}

  StreamProcessor* processor;

  static void readSerialData(StreamProcessor& p) { p.readSerialData(); }
  static void readHeader(StreamProcessor& p) { p.readHeader(); }
  static void advanceCursor(StreamProcessor& p) { p.advanceCursor(); }
  static void readBody(StreamProcessor& p) { p.readBody(); }
  static void handleMessage(StreamProcessor& p, const StreamMessage& m) { p.enterHandleMessage(m); }
  static void entryFailed(StreamProcessor& p, const std::exception& e) { p.onEntryFailed(e); }

  struct StateReadSerialData : boost::msm::front::state<BaseState> {
    template <class Event, class Fsm>
    void on_entry(const Event&, Fsm& fsm) { readSerialData(*fsm.processor); }
  };
  struct StateReadHeader : boost::msm::front::state<BaseState> {
    template <class Event, class Fsm>
    void on_entry(const Event&, Fsm& fsm) { readHeader(*fsm.processor); }
  };
  struct StateAdvanceCursor : boost::msm::front::state<BaseState> {
    template <class Event, class Fsm>
    void on_entry(const Event&, Fsm& fsm) { advanceCursor(*fsm.processor); }
  };
  struct StateReadBody : boost::msm::front::state<BaseState> {
    template <class Event, class Fsm>
    void on_entry(const Event&, Fsm& fsm) { readBody(*fsm.processor); }
  };
  struct StateHandleMessage : boost::msm::front::state<BaseState> {
    template <class Fsm>
    void on_entry(const EventMessageRead& event, Fsm& fsm) { handleMessage(*fsm.processor, event.message); }
    // Entered only with a message; any other way in queues nothing, which the
    // processor reports and recovers from.
    template <class Event, class Fsm>
    void on_entry(const Event&, Fsm&) {}
  };
  struct StateReadMoreSerialData : boost::msm::front::state<BaseState> {
    template <class Event, class Fsm>
    void on_entry(const Event&, Fsm& fsm) { readSerialData(*fsm.processor); }
  };

  using initial_state = StateReadSerialData;

  struct transition_table
      : boost::mpl::vector<
            _row<StateReadSerialData, EventOperationCompleted, StateReadHeader>,
            _row<StateReadSerialData, EventDataNotFound, StateReadSerialData>,
            _row<StateReadSerialData, EventExceptionCaught, StateReadSerialData>,
            _row<StateReadHeader, EventValidHeaderFound, StateReadBody>,
            _row<StateReadHeader, EventInvalidHeaderFound, StateAdvanceCursor>,
            _row<StateReadHeader, EventBufferNotSufficientlyFilled, StateReadSerialData>,
            _row<StateAdvanceCursor, EventOperationCompleted, StateReadHeader>,
            _row<StateReadBody, EventMessageRead, StateHandleMessage>,
            _row<StateReadBody, EventInvalidBodyFound, StateReadHeader>,
            _row<StateReadBody, EventBufferNotSufficientlyFilled, StateReadMoreSerialData>,
            _row<StateHandleMessage, EventOperationCompleted, StateReadSerialData>,
            _row<StateHandleMessage, EventExceptionCaught, StateReadSerialData>,
            _row<StateReadMoreSerialData, EventOperationCompleted, StateReadBody>,
            _row<StateReadMoreSerialData, EventDataNotFound, StateReadMoreSerialData>,
            _row<StateReadMoreSerialData, EventExceptionCaught, StateReadHeader>> {};

  // Both replace the library's defaults, which assert.
  template <class Fsm, class Event>
  void no_transition(const Event&, Fsm& fsm, int state) {
    const BaseState* current = fsm.get_state_by_id(state);
    std::cout << "WARNING: no transition from state "
              << (current ? boost::core::demangle(typeid(*current).name()) : std::string("?")) << " on event "
              << boost::core::demangle(typeid(Event).name()) << std::endl;
  }
  template <class Fsm, class Event>
  void exception_caught(const Event&, Fsm&, std::exception& error) {
    std::cout << "ERROR: " << error.what() << std::endl;
    entryFailed(*processor, error);
  }
};

class QuenlithStreamProcessorStateMachine
    : public boost::msm::back::state_machine<QuenlithStreamProcessorStateMachineFrontEnd, boost::msm::back::NoHistory,
                                             boost::msm::back::favor_runtime_speed> {
 public:
  explicit QuenlithStreamProcessorStateMachine(StreamProcessor* owner)
      : boost::msm::back::state_machine<QuenlithStreamProcessorStateMachineFrontEnd, boost::msm::back::NoHistory,
                                        boost::msm::back::favor_runtime_speed>(owner) {}
};

}  // namespace Lumeth::Core::SensorLibrary
