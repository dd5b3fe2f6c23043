//+------------------------------------------------------------------+
//|                                            MovuCalendarToday.mq5 |
//| Fetches today's calendar (UTC date) synchronously and prints it.  |
//|                                                                  |
//| A script may block: it runs on its own thread and ends when done. |
//| Start the local development service first (movu-devserver), or   |
//| point InpBaseUrl at your service.                                 |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.00"
#property script_show_inputs

#include <movu_mt5.mqh>

input string InpBaseUrl="http://127.0.0.1:8787";   // Service base URL

//+------------------------------------------------------------------+
void OnStart()
  {
   if(!MovuDllsAllowed())
      return;
//--- settings are shared by every program of the terminal
   Movu_SetBaseUrl(InpBaseUrl);
   Movu_SetTerminalDataPath(TerminalInfoString(TERMINAL_DATA_PATH));

   CMovuClient movu;   // identity: this terminal's login, broker and server
   string date=MovuDate(TimeGMT());
   string text;
   int rc=movu.CalendarDay(date,text);
   if(rc!=MOVU_OK)
     {
      //--- text holds the service's answer or a JSON failure text, if any
      PrintFormat("movu: calendar %s failed: %d (%s) %s",date,rc,MovuResultText(rc),text);
      return;
     }
   PrintFormat("movu: calendar %s, %d characters%s",date,StringLen(text),
               movu.LastTextCut() ? " (cut at the size limit)" : "");
//--- the journal shortens very long lines: print in pieces
   int len=StringLen(text);
   for(int pos=0; pos<len && !IsStopped(); pos+=1000)
      Print(StringSubstr(text,pos,1000));
  }
//+------------------------------------------------------------------+
