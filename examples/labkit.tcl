# labkit.tcl -- bench instrument procedures, as a lab keeps them.
#
# ::lab::psu drives a three-channel bench power supply.  The supply is
# simulated here (a resistive load on each channel, a little ripple), so the
# library runs anywhere; the procedures have the shape of the real thing:
# per-channel state in an array, options parsed from "args", procedures with
# defaults, and measurements returned as TclX keyed lists.
package require Tclx

namespace eval ::lab {
    variable version 2.3

    namespace eval psu {
        variable model "PSU-3000"
        variable serial "SN 0042-A"
        variable channels 3
        # state(<channel>,voltage|current|output|load): the supply's settings.
        variable state
        array set state {}
        # A command prefix run as {*}$on_sample channel index volts amps for
        # every sample taken; empty for none.
        variable on_sample ""
        namespace export configure output measure check
    }
}

# configure channel ?-voltage V? ?-current A? ?-load OHMS?
#   Set a channel's voltage, current limit and (simulated) load; the output is
#   switched off.  Returns the settings as a keyed list.
proc ::lab::psu::configure {channel args} {
    variable state
    variable channels
    if {![string is integer -strict $channel] || $channel < 1 || $channel > $channels} {
        error "no such channel: $channel (the $::lab::psu::model has 1..$channels)"
    }
    array set opt {-voltage 0.0 -current 0.1 -load 1e6}
    foreach {name value} $args {
        if {![info exists opt($name)]} {
            error "bad option \"$name\": must be -voltage, -current or -load"
        }
        set opt($name) $value
    }
    foreach key {voltage current load} {
        set state($channel,$key) $opt(-$key)
    }
    set state($channel,output) off
    keylset settings channel $channel voltage $opt(-voltage) current $opt(-current)
    return $settings
}

# output channel ?on?  --  switch a channel's output on (default) or off.
proc ::lab::psu::output {channel {on 1}} {
    variable state
    set state($channel,output) [expr {$on ? "on" : "off"}]
}

# measure channel ?samples? ?settle?
#   Take samples of the channel's output voltage and current.  Returns a keyed
#   list: channel, mode (CV or CC), volts.mean/min/max, amps.mean, samples.
proc ::lab::psu::measure {channel {samples 4} {settle 0}} {
    variable state
    variable on_sample
    if {$state($channel,output) ne "on"} {
        error "channel $channel output is off"
    }
    after $settle
    set setv $state($channel,voltage)
    set limit $state($channel,current)
    set load $state($channel,load)
    # Constant voltage until the load would draw more than the limit; then
    # constant current at the limit.
    set mode CV
    set v0 $setv
    if {$setv / $load > $limit} {
        set mode CC
        set v0 [expr {$limit * $load}]
    }
    set volts {}
    set amps {}
    for {set i 0} {$i < $samples} {incr i} {
        set v [expr {$v0 * (1.0 + 0.002 * sin($i + $channel))}]
        set a [expr {$v / $load}]
        lappend volts $v
        lappend amps $a
        if {$on_sample ne ""} {
            {*}$on_sample $channel $i $v $a
        }
    }
    set mean [expr {[tcl::mathop::+ {*}$volts] / $samples}]
    keylset reading channel $channel mode $mode samples $samples
    keylset reading volts.mean $mean
    keylset reading volts.min [tcl::mathfunc::min {*}$volts]
    keylset reading volts.max [tcl::mathfunc::max {*}$volts]
    keylset reading amps.mean [expr {[tcl::mathop::+ {*}$amps] / $samples}]
    return $reading
}

# check reading limits
#   Judge a reading (from measure) against limits, a keyed list with the keys
#   voltage and tolerance (relative).  Returns PASS or FAIL.
proc ::lab::psu::check {reading limits} {
    set want [keylget limits voltage]
    set tolerance [keylget limits tolerance]
    set mean [keylget reading volts.mean]
    if {abs($mean - $want) <= $want * $tolerance} {
        return PASS
    }
    return FAIL
}
