//+------------------------------------------------------------------+
//|                                            MovuCalendarToday.mq5 |
//| Fetches today's calendar (UTC date) synchronously and prints its  |
//| events, at the trade server's time.                               |
//|                                                                  |
//| A script may block: it runs on its own thread and ends when done. |
//| The base URL is the terminal's setting, shared by its programs:   |
//| InpBaseUrl changes it only when set (for the local development    |
//| service: http://127.0.0.1:8787).                                  |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.10"
#property script_show_inputs

#include <movu_mt5.mqh>

input string InpBaseUrl="";                        // Service base URL (empty: keep the terminal's setting)
input bool   InpRecordDay=true;                     // Record the day for the tester

//+------------------------------------------------------------------+
void OnStart()
  {
   if(!MovuDllsAllowed())
      return;
   CMovuClient movu;   // identity: this terminal's login, broker and server
//--- settings are shared by every program of the terminal: set only when asked
   if(InpBaseUrl!="")
      movu.SetBaseUrl(InpBaseUrl);
   movu.UseTerminalDataPath();
   movu.SetRecording(InpRecordDay ? MOVU_RECORD_COMMON : MOVU_RECORD_OFF);
   string date=MovuDate(TimeGMT());
   string text,error;
   int rc=movu.CalendarDay(date,text);
   if(rc!=MOVU_OK)
     {
      //--- text holds the service's answer or a JSON failure text, if any
      PrintFormat("movu: calendar %s failed: %d (%s) %s",date,rc,MovuResultText(rc),text);
      return;
     }
   MovuCalendarEvent events[];
   if(!MovuParseEvents(text,events,error))
     {
      PrintFormat("movu: calendar %s: answer not understood: %s",date,error);
      return;
     }
   int offset=MovuServerOffset();
   PrintFormat("movu: calendar %s: %d events (times at the trade server, UTC%+.1f)",date,ArraySize(events),offset/3600.0);
   for(int i=0; i<ArraySize(events) && !IsStopped(); i++)
     {
      MovuCalendarEvent e=events[i];
      PrintFormat("%s %s %-40s actual %s  forecast %s  previous %s",
                  TimeToString(MovuUtcToServer(e.time,offset),TIME_MINUTES),e.currency,e.title,
                  e.has_actual ? DoubleToString(e.actual,2)+e.unit : "-",
                  e.has_forecast ? DoubleToString(e.forecast,2)+e.unit : "-",
                  e.has_previous ? DoubleToString(e.previous,2)+e.unit : "-");
     }
  }
//+------------------------------------------------------------------+
